// SPDX-License-Identifier: Apache-2.0
// The single-instance guard: one holder at a time, freed by its holder's end however it
// ends, and never following a planted link.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "frontend/InstanceGuard.h"
#include "support/TempDir.h"

namespace pathmon {
namespace {

namespace fs = std::filesystem;

class InstanceGuardTest : public ::testing::Test {
 protected:
  testing::TempDir temp{"guard"};
  const fs::path dir = temp.Path();
  const std::string path = temp.File("NORVANE_FARLINE_PATHMON");
};

TEST_F(InstanceGuardTest, ASecondCopyIsRefusedUntilTheFirstEnds) {
  InstanceGuard first;
  ASSERT_EQ(first.Acquire(path), InstanceGuard::Result::kAcquired);
  EXPECT_TRUE(first.Held());
  {
    InstanceGuard second;
    EXPECT_EQ(second.Acquire(path), InstanceGuard::Result::kAlreadyRunning);
    EXPECT_FALSE(second.Held());
  }
  // The refused copy left the first one's lock alone.
  InstanceGuard third;
  EXPECT_EQ(third.Acquire(path), InstanceGuard::Result::kAlreadyRunning);
  first.Release();
  EXPECT_EQ(third.Acquire(path), InstanceGuard::Result::kAcquired);
}

TEST_F(InstanceGuardTest, ACopyThatWasKilledNeverBlocksTheNext) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceGuard held;
    char ok = held.Acquire(path) == InstanceGuard::Result::kAcquired ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();  // killed here, holding the lock
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');
  InstanceGuard meanwhile;
  EXPECT_EQ(meanwhile.Acquire(path), InstanceGuard::Result::kAlreadyRunning);

  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  InstanceGuard next;
  EXPECT_EQ(next.Acquire(path), InstanceGuard::Result::kAcquired);
}

TEST_F(InstanceGuardTest, AnUnusableLockFileMeansNoGuard) {
  InstanceGuard guard;
  EXPECT_EQ(guard.Acquire((dir / "missing" / "lock").string()), InstanceGuard::Result::kNoGuard);
  // A link planted under the name is not followed.
  fs::create_symlink(dir / "target", path);
  EXPECT_EQ(guard.Acquire(path), InstanceGuard::Result::kNoGuard);
  EXPECT_FALSE(fs::exists(dir / "target"));
}

TEST_F(InstanceGuardTest, TheLockLiesInTheRuntimeDirectoryOrInTmpWithTheUserId) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string restore = saved != nullptr ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
  EXPECT_EQ(InstanceGuard::DefaultPath(), "/run/user/1234/NORVANE_FARLINE_PATHMON");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceGuard::DefaultPath(),
            "/tmp/NORVANE_FARLINE_PATHMON." + std::to_string(::getuid()));
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(InstanceGuard::DefaultPath(),
            "/tmp/NORVANE_FARLINE_PATHMON." + std::to_string(::getuid()));
  if (saved != nullptr) {
    ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace pathmon
