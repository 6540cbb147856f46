// SPDX-License-Identifier: Apache-2.0
// The diagnostic trace: one whole line per call, CR LF, never interleaved.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TraceRecorder.h"
#include "transport/DebugTrace.h"

namespace pathmon {
namespace {

using testing::TraceRecorder;

// A message of more than 1021 bytes is cut there, keeping its line end; no message, no line.
TEST(DebugTrace, FormatsOneLineEndingInCrLfAndCutsLongMessages) {
  TraceRecorder trace;
  EXPECT_EQ(DebugTrace(1, "PATHMONSocket", nullptr, "Failed to create listener socket"), 0);
  DebugTrace(2, "PATHMONSocket", nullptr, "sendto failed %d", -1);
  DebugTrace(3, "PhoneListMgr", nullptr, "(%-5d)Spawning SNMP Worker thread for %s in slot %d", 3,
             "10.0.0.1", 0);
  EXPECT_EQ(DebugTrace(4, "PhoneListMgr", nullptr, nullptr), 0);
  DebugTrace(5, "PATHMONSocket", nullptr, "%s", std::string(1021, 'a').c_str());
  DebugTrace(6, "PATHMONSocket", nullptr, "%s", std::string(5000, 'b').c_str());
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                               "Failed to create listener socket\r\n",
                               "sendto failed -1\r\n",
                               "(3    )Spawning SNMP Worker thread for 10.0.0.1 in slot 0\r\n",
                               std::string(1021, 'a') + "\r\n",
                               std::string(1021, 'b') + "\r\n",
                           }));
}

TEST(DebugTrace, ConcurrentCallersNeverShareALine) {
  TraceRecorder trace;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      std::string text(200, static_cast<char>('a' + t));
      for (int i = 0; i < 500; ++i) DebugTrace(i, "PhoneListMgr", nullptr, "%s", text.c_str());
    });
  }
  for (auto& th : threads) th.join();
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 4000u);
  for (const auto& line : lines) {
    ASSERT_EQ(line.size(), 202u);
    ASSERT_EQ(line.find_first_not_of(line[0]), 200u) << line;
  }
}

}  // namespace
}  // namespace pathmon
