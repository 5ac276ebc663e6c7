// Every entry of sudo's command_info that the plugin knows, and what it does
// with each: the entries that change what runs, or how, are shown to the
// operator and covered by the digest; those the request cannot show truly
// are refused; only those that cannot change what runs are left out. An
// entry that is not in the table (a newer sudo) is shown and digested as it
// stands, never dropped.
#pragma once

#include <span>
#include <string_view>

namespace kelvane::sudo {

enum class Handling {
  kField,    // read into its own line of the request (command, run-as, directory)
  kShown,    // listed under "settings" as sudo gave it, and digested
  kRefused,  // the command is refused (some only for certain values; see operation.cc)
  kIgnored,  // cannot change what runs, as whom, where, or with what
};

struct CommandInfoEntry {
  std::string_view name;  // a prefix when it ends in '*' (rlimit_*)
  Handling handling;
  std::string_view why;  // what it does, or why it is left out
};

// The table, in the order of the manual page's.
std::span<const CommandInfoEntry> command_info_table() noexcept;

// The row for the name of an entry; nullptr for an entry the table does not
// know.
const CommandInfoEntry* command_info_entry(std::string_view name) noexcept;

}  // namespace kelvane::sudo
