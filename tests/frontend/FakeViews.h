// SPDX-License-Identifier: Apache-2.0
#pragma once
// Recording views and fakes for the presenter tests: no window system, no network.

#include <map>
#include <string>
#include <vector>

#include "frontend/DialogView.h"

namespace pathmon::testing {

// Keeps the controls' texts and records every call in order, so tests can check both the
// outcome and the sequence (messages, cursor, timers).
class RecordingView : public DialogView {
 public:
  void EndDialog(int result) override {
    ended = result;
    events.push_back("end " + std::to_string(result));
  }
  std::string GetControlText(int id) override { return texts[id]; }
  void SetControlText(int id, const std::string& text) override { texts[id] = text; }
  void SetProgressRange(int16_t minimum, int16_t maximum) override {
    progressMin = minimum;
    progressMax = maximum;
    events.push_back("range " + std::to_string(minimum) + " " + std::to_string(maximum));
  }
  void SetProgressPos(int position) override {
    progressPos = position;
    events.push_back("pos " + std::to_string(position));
  }
  void EnableControl(int id, bool enable) override {
    enabled[id] = enable;
    events.push_back((enable ? "enable " : "disable ") + std::to_string(id));
  }
  void FocusControl(int id) override {
    focused = id;
    events.push_back("focus " + std::to_string(id));
  }
  void StartTimer(int id, int intervalMs) override {
    timers[id] = intervalMs;
    events.push_back("timer " + std::to_string(id) + " " + std::to_string(intervalMs));
  }
  void KillTimer(int id) override {
    timers.erase(id);
    events.push_back("kill " + std::to_string(id));
  }
  void BeginWaitCursor() override {
    ++waitDepth;
    events.push_back("wait");
  }
  void EndWaitCursor() override {
    --waitDepth;
    events.push_back("unwait");
  }
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    events.push_back("message");
  }

  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, int> timers;
  std::vector<std::string> messages;
  std::vector<std::string> events;
  int ended = 0;
  int focused = 0;
  int progressMin = -1;
  int progressMax = -1;
  int progressPos = -1;
  int waitDepth = 0;
};

}  // namespace pathmon::testing
