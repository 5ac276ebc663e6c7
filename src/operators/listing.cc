#include "operators/listing.h"

#include <algorithm>

#include "operators/record_text.h"
#include "support/quoting.h"
#include "support/utc_time.h"

namespace kelvane::operators {
namespace {

// Room for the texts on a line: a title is cut, with "...", where a whole
// one would make the line wrap on most terminals; `show ID` has it whole.
constexpr std::size_t kTitleBytes = 60;
constexpr std::size_t kHostBytes = 32;
constexpr std::size_t kReasonBytes = 200;

// Column widths, each with the two spaces that end it. Ids and user names
// take what the longest needs, up to a bound past which a line is allowed
// to push the rest to the right.
constexpr std::size_t kAgeWidth = 6;
constexpr std::size_t kVotesWidth = 7;
constexpr std::size_t kTimeWidth = 22;
constexpr std::size_t kStateWidth = 11;
constexpr std::size_t kMaxIdWidth = 24;
constexpr std::size_t kMaxRequesterWidth = 34;

struct Columns {
  std::size_t id;
  std::size_t requester;
};

Columns columns_for(const std::vector<service::RequestRecord>& records) {
  Columns c{4, 11};
  for (const service::RequestRecord& r : records) {
    c.id = std::max(c.id, std::min(plain_or_quoted(r.id, "").size() + 2, kMaxIdWidth));
    c.requester = std::max(c.requester, std::min(requester_name(r).size() + 2, kMaxRequesterWidth));
  }
  return c;
}

void pad(std::string& line, std::size_t column) {
  line.append(line.size() < column ? column - line.size() : 1, ' ');
}

std::string age_of(const service::RequestRecord& r, std::int64_t now) {
  const std::optional<std::int64_t> created = parse_rfc3339(r.created_at);
  return created ? describe_age(*created, now) : "?";
}

std::string target_and_title(const service::RequestRecord& r) {
  return quoted_prefix(r.target_host, kHostBytes) + "  " + quoted_prefix(r.title, kTitleBytes);
}

}  // namespace

std::string describe_age(std::int64_t then, std::int64_t now) {
  const std::int64_t age = now > then ? now - then : 0;
  if (age < 60) return std::to_string(age) + "s";
  if (age < 3600) return std::to_string(age / 60) + "m";
  if (age < 86400) return std::to_string(age / 3600) + "h";
  return std::to_string(age / 86400) + "d";
}

std::string list_lines(const std::vector<service::RequestRecord>& requests, std::int64_t now) {
  if (requests.empty()) return "no requests are waiting\n";
  const Columns c = columns_for(requests);
  std::string out = "ID";
  pad(out, c.id);
  out += "AGE";
  pad(out, c.id + kAgeWidth);
  out += "REQUESTER";
  pad(out, c.id + kAgeWidth + c.requester);
  out += "VOTES  TARGET  TITLE\n";
  for (const service::RequestRecord& r : requests) {
    std::string line = plain_or_quoted(r.id, "");
    pad(line, c.id);
    line += age_of(r, now);
    pad(line, c.id + kAgeWidth);
    line += requester_name(r);
    pad(line, c.id + kAgeWidth + c.requester);
    line += votes_so_far(r);
    pad(line, c.id + kAgeWidth + c.requester + kVotesWidth);
    out += line + target_and_title(r) + "\n";
  }
  return out;
}

std::string history_lines(const std::vector<service::RequestRecord>& records) {
  if (records.empty()) return "no requests in the record\n";
  const Columns c = columns_for(records);
  std::string out;
  for (const service::RequestRecord& r : records) {
    std::string line = plain_or_quoted(r.id, "");
    pad(line, c.id);
    line += time_text(r.created_at);
    pad(line, c.id + kTimeWidth);
    line += state_word(r.state);
    pad(line, c.id + kTimeWidth + kStateWidth);
    line += requester_name(r);
    pad(line, c.id + kTimeWidth + kStateWidth + c.requester);
    out += line + target_and_title(r) + "\n";
    for (const service::VoteRecord& v : r.votes) {
      out += std::string(c.id, ' ') + voter_name(v) + (v.approve ? " approved" : " denied");
      if (v.reason) out += ": " + quoted_prefix(*v.reason, kReasonBytes);
      out += "\n";
    }
  }
  return out;
}

std::string status_lines(const service::OperatorAnswer& a) {
  auto number = [](const std::optional<std::uint64_t>& n) {
    return n ? std::to_string(*n) : std::string("unknown");
  };
  std::string out = "version      " + (a.version ? plain_or_quoted(*a.version, ".-+~") : "unknown");
  out += "\nuptime       " + number(a.uptime_secs) + " s";
  out += "\npending      " + number(a.pending);
  out += "\nrecord size  " + number(a.record_bytes) + " bytes\n";
  // Added later: a daemon that does not send them (pendingByUser marks one
  // that does) leaves them out.
  if (a.pending_by_user) {
    std::string users;
    for (const auto& [user, count] : *a.pending_by_user) {
      users +=
          (users.empty() ? "" : ", ") + plain_or_quoted(user, ".-_") + " " + std::to_string(count);
    }
    out += "by user      " + (users.empty() ? std::string("none") : users) + "\n";
  }
  auto time_or = [](const std::optional<std::string>& at, std::string_view otherwise) {
    return at ? plain_or_quoted(*at, "-:") : std::string(otherwise);
  };
  if (a.pending_by_user) out += "oldest       " + time_or(a.oldest_pending, "none") + "\n";
  // Who waits is for approvers and auditors; the record's upkeep is for
  // anyone who asks (a daemon that sends neither time, or is older, is
  // told apart by pendingByUser where the asker may read requests).
  if (a.pending_by_user || a.last_commit || a.last_backup) {
    out += "last commit  " + time_or(a.last_commit, "none since the daemon started") + "\n";
    out += "last backup  " + time_or(a.last_backup, "none noted") + "\n";
  }
  return out;
}

}  // namespace kelvane::operators
