#include "approvals/listing.h"

#include "approvals/record_text.h"
#include "approvals/rfc3339.h"
#include "service/shown_text.h"

namespace kelvane::approvals {
namespace {

// Room for the texts on a line: a title is cut, with "...", where a whole
// one would make the line wrap on most terminals; `show ID` has it whole.
constexpr std::size_t kTitleBytes = 60;
constexpr std::size_t kHostBytes = 32;
constexpr std::size_t kReasonBytes = 200;

void pad(std::string& line, std::size_t column) {
  line.append(line.size() < column ? column - line.size() : 1, ' ');
}

std::string age_of(const service::RequestRecord& r, std::int64_t now) {
  const std::optional<std::int64_t> created = parse_rfc3339(r.created_at);
  return created ? describe_age(*created, now) : "?";
}

std::string target_and_title(const service::RequestRecord& r) {
  return service::show_quoted_prefix(r.target_host, kHostBytes) + "  " +
         service::show_quoted_prefix(r.title, kTitleBytes);
}

std::string voter(const service::VoteRecord& v) {
  return v.operator_name.empty() ? "uid " + std::to_string(v.uid)
                                 : plain_or_quoted(v.operator_name, "._-");
}

}  // namespace

std::string list_lines(const std::vector<service::RequestRecord>& requests, std::int64_t now) {
  if (requests.empty()) return "no requests are waiting\n";
  std::string out = "ID        AGE   REQUESTER             VOTES  TARGET  TITLE\n";
  for (const service::RequestRecord& r : requests) {
    std::string line = plain_or_quoted(r.id, "");
    pad(line, 10);
    line += age_of(r, now);
    pad(line, 16);
    line += requester_name(r);
    pad(line, 38);
    line += votes_so_far(r);
    pad(line, 45);
    out += line + target_and_title(r) + "\n";
  }
  return out;
}

std::string history_lines(const std::vector<service::RequestRecord>& records) {
  if (records.empty()) return "the record holds no requests for that time\n";
  std::string out;
  for (const service::RequestRecord& r : records) {
    std::string line = plain_or_quoted(r.id, "");
    pad(line, 10);
    line += time_text(r.created_at);
    pad(line, 32);
    line += state_word(r.state);
    pad(line, 43);
    line += requester_name(r);
    pad(line, 65);
    out += line + target_and_title(r) + "\n";
    for (const service::VoteRecord& v : r.votes) {
      out += "          " + voter(v) + (v.approve ? " approved" : " denied");
      if (v.reason) out += ": " + service::show_quoted_prefix(*v.reason, kReasonBytes);
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
  return out;
}

}  // namespace kelvane::approvals
