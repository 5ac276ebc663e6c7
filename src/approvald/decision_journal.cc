#include "decision_journal.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>

#include "support/quoting.h"
#include "support/utc_time.h"
#include "support/write_loop.h"

namespace kelvane::approvald {
namespace {

// Enough to recognise a request by; the record holds all of it.
constexpr std::size_t kLoggedBytes = 200;

// A text someone else chose, quoted and cut to what the log keeps.
std::string logged(std::string_view text) {
  return quoted_prefix(text, kLoggedBytes);
}

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it gave as
// standard error. Inherited by a process whose standard error goes
// elsewhere (a daemon started by hand from a service's shell, 2>file), it
// says nothing about that process, and the journal's socket, when absent,
// drops lines without an error: such a daemon would log its decisions
// nowhere.
bool standard_error_is_the_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  const std::string_view text(stream);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  const char* device_end = text.data() + colon;
  const char* inode_end = text.data() + text.size();
  if (std::from_chars(text.data(), device_end, device).ptr != device_end ||
      std::from_chars(device_end + 1, inode_end, inode).ptr != inode_end)
    return false;
  struct stat status {};
  return ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// A user or host name as it is when it is plain, quoted otherwise, so that
// no name can end the votes= field or the line.
std::string word(std::string_view text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
  return plain ? std::string(text) : logged(text);
}

}  // namespace

DecisionJournal::DecisionJournal() : journald_(standard_error_is_the_journal()) {}

std::string decision_text(const service::RequestRecord& r) {
  std::string line = "decision id=" + r.id + " state=" + r.state +
                     " uid=" + std::to_string(r.verified_uid) + " user=" + logged(r.verified_user) +
                     (r.via_sudo ? " via=sudo" : "") + " peer_uid=" + std::to_string(r.peer.uid) +
                     " peer_pid=" + std::to_string(r.peer.pid) +
                     " requester=" + logged(r.requester) + " title=" + logged(r.title) +
                     " target=" + logged(r.target_host);
  if (r.operation_digest) line += " digest=" + logged(*r.operation_digest);
  std::string voters;
  for (const service::VoteRecord& vote : r.votes) {
    if (!voters.empty()) voters += ',';
    voters += (vote.approve ? "+" : "-") +
              (vote.operator_name.empty() ? std::to_string(vote.uid) : word(vote.operator_name));
    // In the fleet: the host the vote was cast through (names and hosts of
    // other hosts' votes come from the shared database: quoted unless plain).
    if (vote.host) voters += "@" + word(*vote.host);
  }
  if (!voters.empty()) line += " votes=" + voters;
  if (r.rule) line += " rule=" + logged(*r.rule);
  if (r.reused_from) line += " reused_from=" + *r.reused_from;
  line += " detail=" + logged(r.detail_of_verdict.value_or(""));
  return line;
}

void DecisionJournal::decision(const service::RequestRecord& record) {
  const std::string text = decision_text(record);
  if (journald_) {
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", LOG_INFO, "KELVANE_REQUEST_ID=%s",
                    record.id.c_str(), "KELVANE_STATE=%s", record.state.c_str(),
                    "KELVANE_VERIFIED_UID=%llu",
                    static_cast<unsigned long long>(record.verified_uid), nullptr);
    return;
  }
  emit(text, LOG_INFO);
}

void DecisionJournal::refusal(std::string_view verdict, std::uint64_t uid, std::uint64_t pid,
                              std::string_view detail) {
  const std::string text = "decision verdict=" + std::string(verdict) +
                           " uid=" + std::to_string(uid) + " peer_pid=" + std::to_string(pid) +
                           " detail=" + logged(detail);
  if (journald_) {
    // The fields of a decision, so that `journalctl KELVANE_STATE=refused`
    // finds these too; a request refused before it was taken has no id.
    const std::string state(verdict);
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", LOG_NOTICE, "KELVANE_STATE=%s",
                    state.c_str(), "KELVANE_VERIFIED_UID=%llu",
                    static_cast<unsigned long long>(uid), nullptr);
    return;
  }
  emit(text, LOG_NOTICE);
}

void DecisionJournal::note(std::string_view text) {
  emit(std::string(text), LOG_NOTICE);
}

void DecisionJournal::emit(const std::string& line, int priority) {
  if (journald_) {
    sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%d", priority, nullptr);
    return;
  }
  const std::string out =
      utc_text(std::time(nullptr)) + " kelvane-operator-approvald: " + line + "\n";
  (void)io::write_fully(STDERR_FILENO, out);  // nowhere left to tell of a failure
}

}  // namespace kelvane::approvald
