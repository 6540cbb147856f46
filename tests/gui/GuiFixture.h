// SPDX-License-Identifier: Apache-2.0
#pragma once
// A test of the whole desktop program: Qt's offscreen platform, an engine of its own, a
// temporary current directory for the history and log files, message boxes recorded instead
// of shown, and a log opener that only notes the file.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <filesystem>
#include <memory>
#include <regex>

#include "app/PathmonApp.h"
#include "engine/Engine.h"
#include "gui/GuiScript.h"
#include "support/RecordingOpener.h"
#include "support/TempDir.h"
#include "transport/PhoneLog.h"
#include "ui/MessageBox.h"

namespace pathmon::testing {

class GuiSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    // The window's remembered geometry goes to the test's directory, never the user's.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString((dir_ / "settings").string()));
    SetMessageHook([this](QWidget*, const QString& text) {
      messages.push_back(text.toStdString());
    });
  }
  void TearDown() override {
    SetMessageHook({});
    app_.reset();
    std::filesystem::current_path(previous_);
  }

  // Runs the program's whole life with the script driving its dialogs.
  int RunProgram(GuiScript& script) {
    script.Start();
    PathmonApp program(engine, LockPath(), &opener);
    return program.Run();
  }
  std::string LockPath() const { return (dir_ / "instance.lock").string(); }

  // The history lines of a file, each checked for the line's form; the SEND figures.
  static std::vector<int> HistorySent(const std::string& name) {
    static const std::regex line(
        R"(\d\d:\d\d:\d{4} \d\d:\d\d:\d\d <PATHMON>INTERRUPTIONS: *\d+ MAXBURSTLOST: *\d+ )"
        R"(SEND: *(\d+) LOST: *-?\d+ DELAYED: *\d+ AVGRTT: *-?\d+ MAXRTT: *-?\d+)");
    std::vector<int> sent;
    std::string text = ReadFile(name);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      EXPECT_NE(end, std::string::npos) << "a line without CR LF in " << name;
      if (end == std::string::npos) break;
      std::smatch m;
      std::string one = text.substr(start, end - start);
      EXPECT_TRUE(std::regex_match(one, m, line)) << one;
      sent.push_back(m.size() > 1 ? std::stoi(m[1]) : -1);
      start = end + 2;
    }
    return sent;
  }

  std::vector<std::string> messages;
  RecordingOpener opener;
  Engine engine;  // the program's, one per test

 private:
  int argc_ = 1;
  char arg0_[8] = "pathmon";
  char* argv_[2] = {arg0_, nullptr};
  TempDir temp_{"gui"};
  const std::filesystem::path dir_ = temp_.Path();
  std::filesystem::path previous_;
  std::unique_ptr<QApplication> app_;
};

}  // namespace pathmon::testing
