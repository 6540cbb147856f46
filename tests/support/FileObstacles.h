// SPDX-License-Identifier: Apache-2.0
#pragma once
// What can stand in the way of a file the program writes: a read-only or full file system
// (a small tmpfs mounted in a mount namespace private to the test process, so nothing of it
// is seen outside), a symlink, a directory, a FIFO.

#include <string>

namespace pathmon::testing {

// Mounts a tmpfs of `bytes` bytes (read-only when readOnly) on the existing directory dir,
// in a mount namespace of this process's own (made on first use; children inherit it).
// False with the reason in *why when the process may not (not root): the test skips then.
bool MountSmallTmpfs(const std::string& dir, long bytes, bool readOnly, std::string* why);
void Unmount(const std::string& dir);

// Fills the file system holding dir until a write fails with ENOSPC.
void FillFileSystem(const std::string& dir);

}  // namespace pathmon::testing
