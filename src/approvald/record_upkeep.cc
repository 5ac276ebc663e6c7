#include "record_upkeep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "service/store.h"
#include "support/read_up_to.h"
#include "support/utc_time.h"
#include "support/write_loop.h"

namespace kelvane::approvald {
namespace {

std::string record_path_in(const std::string& state_dir) {
  return state_dir + "/" + std::string(service::kRecordFileName);
}

std::string system_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Makes what was written to `path` durable: the file, then its directory.
Result<void, std::string> sync_file(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open() || ::fsync(fd.get()) != 0) return fail(system_error(path));
  return {};
}

Result<void, std::string> sync_directory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.is_open() || ::fsync(fd.get()) != 0) return fail(system_error(directory));
  return {};
}

// Replaces `path` with `text`, whole or not at all.
Result<void, std::string> write_replacing(const std::string& path, std::string_view text) {
  const std::string partial = path + ".partial";
  {
    FileDescriptor fd(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.is_open()) return fail(system_error(partial));
    if (auto written = io::write_fully(fd.get(), text); !written.ok())
      return fail(partial + ": " + written.error().to_string());
    if (::fsync(fd.get()) != 0) return fail(system_error(partial));
  }
  if (::rename(partial.c_str(), path.c_str()) != 0) return fail(system_error(path));
  return sync_directory(directory_of(path));
}

bool is_rfc3339_utc(std::string_view text) {
  constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
  }
  return true;
}

// The record opened for reading, with a clear word when there is none.
Result<std::unique_ptr<service::Store>, std::string> open_record_to_read(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return fail(system_error(path));
  return service::Store::open_for_reading(path);
}

// The record being replaced, kept beside the new one under another name
// (with its write-ahead log, which may hold its latest commits); nothing
// when there is no record (a restore onto a new disk).
Result<std::optional<std::string>, std::string> set_aside(const std::string& record,
                                                          std::time_t now) {
  if (::access(record.c_str(), F_OK) != 0) return std::optional<std::string>();
  const std::string kept = record + ".before-restore-" + std::to_string(now);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string from = record + suffix;
    if (::rename(from.c_str(), (kept + suffix).c_str()) != 0 && errno != ENOENT)
      return fail(system_error(from));
  }
  return std::optional<std::string>(kept);
}

}  // namespace

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

Result<FileDescriptor, std::string> lock_state_dir(const std::string& state_dir) {
  FileDescriptor fd(::open(state_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.is_open()) return fail(system_error(state_dir));
  if (fd.get() <= STDERR_FILENO) {
    // Started with a standard descriptor closed: the lock is not kept in
    // its place, where output meant for it would go.
    FileDescriptor high(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!high.is_open()) return fail(system_error(state_dir));
    fd = std::move(high);
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return fail(state_dir +
                  ": in use by a running kelvane-operator-approvald or by a restore of its record");
    return fail(system_error(state_dir));
  }
  return fd;
}

Result<std::string, std::string> back_up_record(const std::string& state_dir,
                                                const std::string& file, std::time_t now) {
  auto record = open_record_to_read(record_path_in(state_dir));
  if (!record.ok()) return fail(std::move(record).error());
  const std::string partial = file + ".partial";
  if (::unlink(partial.c_str()) != 0 && errno != ENOENT) return fail(system_error(partial));
  {
    // Whatever the caller's umask: the record names people and what they
    // asked for.
    FileDescriptor made(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!made.is_open()) return fail(system_error(partial));
  }
  auto copied = record.value()->copy_to(partial);
  if (copied.ok()) copied = sync_file(partial);
  if (!copied.ok()) {
    (void)::unlink(partial.c_str());
    return fail(std::move(copied).error());
  }
  if (::rename(partial.c_str(), file.c_str()) != 0) {
    const std::string error = system_error(file);
    (void)::unlink(partial.c_str());
    return fail(error);
  }
  if (auto synced = sync_directory(directory_of(file)); !synced.ok()) return synced.error();
  const std::string at = utc_text(now);
  if (auto noted = write_replacing(state_dir + "/" + std::string(kLastBackupFile), at + "\n");
      !noted.ok())
    return fail("the backup is made, but its time cannot be noted: " + noted.error());
  struct stat status {};
  const long long bytes = ::stat(file.c_str(), &status) == 0 ? status.st_size : 0;
  return record.value()->path() + " backed up to " + file + " (" + std::to_string(bytes) +
         " bytes) at " + at;
}

Result<std::string, std::string> restore_record(const std::string& state_dir,
                                                const std::string& backup, std::time_t now) {
  // Onto a new disk: the state directory as the service makes it.
  if (::mkdir(state_dir.c_str(), 0700) != 0 && errno != EEXIST)
    return fail(system_error(state_dir));
  auto lock = lock_state_dir(state_dir);
  if (!lock.ok()) {
    return fail(lock.error() +
                "; stop the service and its sockets first (systemctl stop "
                "kelvane-operator-approvald.socket kelvane-operator-approvald-operators.socket "
                "kelvane-operator-approvald.service)");
  }
  // The backup must be sound before anything is touched.
  auto source = open_record_to_read(backup);
  if (!source.ok()) return fail(std::move(source).error());
  auto found = source.value()->integrity_check();
  if (!found.ok()) return fail(std::move(found).error());
  if (found.value() != "ok") return fail(backup + ": damaged, not restored: " + found.value());

  const std::string record = record_path_in(state_dir);
  const std::string restoring = record + ".restoring";
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string stale = restoring + suffix;
    if (::unlink(stale.c_str()) != 0 && errno != ENOENT) return fail(system_error(stale));
  }
  {
    FileDescriptor made(::open(restoring.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!made.is_open()) return fail(system_error(restoring));
  }
  if (auto copied = source.value()->copy_to(restoring); !copied.ok()) return copied.error();
  std::uint64_t node = 0;
  {
    auto restored = service::Store::open_file(restoring);
    if (!restored.ok()) return fail(std::move(restored).error());
    service::Store& store = *restored.value();
    if (auto b = store.begin(); !b.ok()) return b.error();
    auto renumbered = store.take_new_node();
    if (!renumbered.ok()) {
      store.rollback();
      return fail(std::move(renumbered).error());
    }
    if (auto c = store.commit(); !c.ok()) return c.error();
    node = renumbered.value();
  }
  if (auto synced = sync_file(restoring); !synced.ok()) return synced.error();
  auto kept = set_aside(record, now);
  if (!kept.ok()) return fail(std::move(kept).error());
  if (::rename(restoring.c_str(), record.c_str()) != 0) return fail(system_error(record));
  if (auto synced = sync_directory(state_dir); !synced.ok()) return synced.error();
  const std::string replaced =
      kept.value() ? " (the record it replaced is kept as " + *kept.value() + ")" : "";
  return backup + " restored to " + record + replaced +
         "; request ids go on in a new range (node " + std::to_string(node) +
         "), none handed out before is handed out again";
}

Result<RecordCheck, std::string> check_record(const std::string& state_dir) {
  auto record = open_record_to_read(record_path_in(state_dir));
  if (!record.ok()) return fail(std::move(record).error());
  service::Store& store = *record.value();
  auto found = store.integrity_check();
  if (!found.ok()) return fail(std::move(found).error());
  RecordCheck check;
  check.sound = true;
  if (found.value() != "ok") {
    check.sound = false;
    check.report += store.path() + ": damaged: " + found.value() + "\n";
  }
  auto reused = store.ids_past_sequence();
  if (!reused.ok()) return fail(std::move(reused).error());
  if (reused.value() != 0) {
    check.sound = false;
    check.report += store.path() + ": " + std::to_string(reused.value()) +
                    " requests hold ids at or past the id sequence: they would be handed out "
                    "again\n";
  }
  if (check.sound) {
    check.report = store.path() + ": ok (" + std::to_string(store.file_bytes()) + " bytes)\n";
  }
  return check;
}

std::optional<std::string> last_backup_time(const std::string& state_dir) {
  const std::string path = state_dir + "/" + std::string(kLastBackupFile);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.is_open()) return std::nullopt;
  auto text = read_up_to(fd.get(), 64);
  if (!text.ok()) return std::nullopt;
  std::string_view line = text.value();
  line = line.substr(0, line.find('\n'));
  if (!is_rfc3339_utc(line)) return std::nullopt;
  return std::string(line);
}

}  // namespace kelvane::approvald
