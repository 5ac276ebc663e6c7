// Preparing a command-line program's process before any option is looked at.
#pragma once

namespace kelvane {

// Puts each closed standard descriptor (0, 1, 2) on /dev/null, so that no
// file or socket opened later takes its number, and ignores SIGPIPE so that a
// write to a vanished reader fails with EPIPE instead of ending the process.
void prepare_process() noexcept;

}  // namespace kelvane
