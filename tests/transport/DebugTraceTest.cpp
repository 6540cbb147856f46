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

TEST(DebugTrace, FormatsOneLineEndingInCrLf) {
  TraceRecorder trace;
  EXPECT_EQ(DebugTrace(1, "PATHMONSocket", nullptr, "Failed to create listener socket"), 0);
  DebugTrace(2, "PATHMONSocket", nullptr, "sendto failed %d", -1);
  DebugTrace(3, "PhoneListMgr", nullptr, "(%-5d)Spawning SNMP Worker thread for %s in slot %d", 3,
             "10.0.0.1", 0);
  EXPECT_EQ(DebugTrace(4, "PhoneListMgr", nullptr, nullptr), 0);
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Failed to create listener socket\r\n");
  EXPECT_EQ(lines[1], "sendto failed -1\r\n");
  EXPECT_EQ(lines[2], "(3    )Spawning SNMP Worker thread for 10.0.0.1 in slot 0\r\n");
}

TEST(DebugTrace, LongMessagesAreCutButKeepTheirLineEnd) {
  TraceRecorder trace;
  std::string fits(1021, 'a');
  std::string tooLong(5000, 'b');
  DebugTrace(1, "PATHMONSocket", nullptr, "%s", fits.c_str());
  DebugTrace(2, "PATHMONSocket", nullptr, "%s", tooLong.c_str());
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], fits + "\r\n");
  EXPECT_EQ(lines[1], std::string(1021, 'b') + "\r\n");
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
