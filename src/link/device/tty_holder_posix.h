// SPDX-License-Identifier: MIT
// Who holds a tty: the process with a lock on the device's inode, as
// /proc/locks tells it, named by /proc/PID/comm.
#pragma once

#include <string>

namespace tarvel {

// "tarvel (pid 1234)" for the process holding a lock on the device at `path`;
// empty when the system does not tell (no /proc, no lock, a holder out of
// sight in another pid namespace).
std::string TtyHolder(const std::string& path);

// Takes an exclusive lock on the open tty `fd`, which every opener takes, root
// too, without waiting. False with errno EBUSY while another open holds it; a
// device that takes no locks counts as taken.
bool LockTty(int fd);

}  // namespace tarvel
