// pathmon-cli: the loop tests of Farline phones without a display.

#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/SignalWatch.h"
#include "engine/Engine.h"
#include "engine/HistoryFile.h"
#include "frontend/EngineBackend.h"
#include "transport/DebugTrace.h"

int main(int argc, char* argv[]) {
  using namespace pathmon;
  using namespace pathmon::cli;

  // Before any thread exists, so that every thread inherits the blocked signals.
  SignalWatch signals;
  // Output that nobody reads any more (a closed pipe) must not end the run before its tests
  // are stopped and their last history lines written: writes then just fail.
  ::signal(SIGPIPE, SIG_IGN);

  ParseResult parsed = ParseCommandLine(argc, argv);
  if (!parsed.run) {
    std::cout << parsed.output << std::flush;
    std::cerr << parsed.error << std::flush;
    return parsed.exitStatus;
  }
  RunPlan plan;
  if (std::string message = CheckArguments(parsed.arguments, plan); !message.empty()) {
    std::cerr << message << '\n' << std::flush;
    return kExitBadInput;
  }

  // The trace is for developers; the run's own output says what happened.
  if (!plan.trace) SetTraceSink([](void*, std::string_view) {}, nullptr);

  // No single-instance guard: a scheduled run may well test phones while the desktop
  // program is open, and each process has a test socket of its own.
  Engine engine;
  engine.InitPhoneList();
  engine.SessionSettings() = plan.settings;
  if (engine.SocketStart() != 0) {
    std::cerr << "The test socket could not be opened: no test can start.\n" << std::flush;
  }
  RecordingFileOpener opener;
  engine.SetFileOpener(&opener);
  engine.AddObserver(std::make_shared<HistoryWriter>("", LocalTimeNow));
  EngineBackend backend(engine);

  CliEnvironment env{
      backend,
      backend,
      engine.GetClock(),
      [&engine](const char* community) { engine.Phones().SetCommunity(community); },
      [&signals](int ms) { return signals.Wait(ms); },
      opener,
      std::cout,
      std::cerr,
      ::isatty(STDOUT_FILENO) == 1,
  };
  int status = RunCli(plan, env);

  engine.SetFileOpener(nullptr);
  engine.SocketStop();
  return status;
}
