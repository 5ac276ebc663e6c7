// The administrator's upkeep of the record (kelvane-operator-approvald
// --backup, --restore, --check-record): a copy taken while the daemon runs,
// a copy put back while it is stopped, and a check of the record's
// integrity that a timer can run. The daemon and a restore both hold the
// state directory's lock, so that neither works on a record the other is
// changing underneath it.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "support/file_descriptor.h"
#include "support/result.h"

namespace kelvane::approvald {

// In the state directory: when the last backup was taken (RFC 3339 UTC and a
// line feed), for `kelvane-operator-approvals status`.
inline constexpr std::string_view kLastBackupFile = "last-backup";

// The directory part of `path` ("/" for a file at the root).
std::string directory_of(const std::string& path);

// Takes the state directory's lock, held while the descriptor stays open
// (and by no program the holder starts); refused at once, with the reason,
// when somebody else holds it.
Result<FileDescriptor, std::string> lock_state_dir(const std::string& state_dir);

// Copies the record of `state_dir` into `file` (replaced whole, or not at
// all), mode 0600, and notes the time in kLastBackupFile. The daemon may
// run meanwhile: the copy is one consistent state of the record. Returns
// what was done, in a sentence.
Result<std::string, std::string> back_up_record(const std::string& state_dir,
                                                const std::string& file, std::time_t now);

// Puts `backup` (a file back_up_record made) in place of the record of
// `state_dir`, which must not be in use (the lock). The backup is checked
// first; the record it replaces is kept beside it, renamed; the restored
// record takes a new node number, so that the request ids handed out after
// the backup was taken are never handed out again. Returns what was done.
Result<std::string, std::string> restore_record(const std::string& state_dir,
                                                const std::string& backup, std::time_t now);

// What --check-record found: sound or not, and the lines that say so.
struct RecordCheck {
  bool sound = false;
  std::string report;
};
// Checks the record of `state_dir` read-only (the daemon may run): SQLite's
// integrity check, then that no request holds an id the record would hand
// out again. An error when the record cannot be opened or read.
Result<RecordCheck, std::string> check_record(const std::string& state_dir);

// The time noted by the last backup of the record in `state_dir`, when
// there is one that reads as an RFC 3339 UTC time.
std::optional<std::string> last_backup_time(const std::string& state_dir);

}  // namespace kelvane::approvald
