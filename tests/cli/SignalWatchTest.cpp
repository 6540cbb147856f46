// SPDX-License-Identifier: Apache-2.0
// SIGINT and SIGTERM arrive as events through the signalfd, never through a handler.

#include <gtest/gtest.h>
#include <signal.h>

#include "cli/SignalWatch.h"

namespace pathmon::cli {
namespace {

TEST(SignalWatch, SignalsBecomeEventsAndStayTaken) {
  SignalWatch watch;
  ASSERT_TRUE(watch.Ok());
  EXPECT_FALSE(watch.Wait(0));
  EXPECT_EQ(watch.Signal(), 0);
  // raise() signals this thread, which the watch has blocked: the process lives on.
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_TRUE(watch.Wait(1000));
  EXPECT_EQ(watch.Signal(), SIGTERM);
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(watch.Wait(0));
  EXPECT_EQ(watch.Signal(), SIGTERM);  // the first one is what ended the run

  SignalWatch second;  // takes the SIGINT still pending
  EXPECT_TRUE(second.Wait(1000));
  EXPECT_EQ(second.Signal(), SIGINT);

  SignalWatch hangUp;
  ASSERT_EQ(::raise(SIGHUP), 0);
  EXPECT_TRUE(hangUp.Wait(1000));
  EXPECT_EQ(hangUp.Signal(), SIGHUP);
}

}  // namespace
}  // namespace pathmon::cli
