// What the command prints for a person, fed requests whose every text was
// written by a hostile requester.
#include <gtest/gtest.h>

#include <algorithm>

#include "operators/listing.h"
#include "operators/request_screen.h"
#include "support/utf8.h"

namespace kelvane::operators {
namespace {

// Each carries something a terminal would obey or that would draw a line
// of its own: an escape sequence, a carriage return, a line feed with a
// fake field after it, a bidirectional override, a zero-width space, a C1
// control, and bytes that are not UTF-8 (/proc texts need not be).
const std::string kHostile[] = {
    "\x1b[2J\x1b[H",
    "ok\rAPPROVED",
    "x\n| title       \"harmless\"",
    "\xe2\x80\xae"
    "evil",
    "a\xe2\x80\x8b"
    "b",
    "\xc2\x9b"
    "31m",
    "\xff\xfe",
};

service::RequestRecord hostile_record(const std::string& text) {
  service::RequestRecord r;
  r.id = "17";
  r.state = "pending";
  r.title = "T" + text;
  r.detail = "D" + text;
  r.action = "A" + text;
  r.requester = "R" + text;
  r.source_host = "S" + text;
  r.target_host = "H" + text;
  r.operation_digest = "G" + text;
  r.context = "{\"k\\u001b\":\"v\\u202e\",\"list\":[\"\\r\"]}";
  r.timeout_secs = 60;
  r.created_at = "2026-12-07T20:00:00Z" + text;
  r.verified_uid = 1000;
  r.verified_user = "alice" + text;
  r.via_sudo = true;
  r.peer = {0, 0, 4242, "N" + text, "/E" + text};
  r.votes = {{"bob" + text, 1001, true, "why" + text, "2026-12-07T20:00:01Z" + text, std::nullopt}};
  r.needed = 2;
  return r;
}

// Nothing the terminal could act on: line feeds only as line ends, no other
// C0 or C1 control, no bidirectional control or zero-width character, and
// valid UTF-8 throughout.
void expect_inert(const std::string& out) {
  ASSERT_TRUE(utf8::is_valid(out));
  for (std::size_t i = 0; i < out.size();) {
    std::size_t length = 1;
    const char32_t c = utf8::decode(out, i, length);
    EXPECT_TRUE(c == U'\n' || (c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0)))
        << "U+" << std::hex << static_cast<unsigned>(c) << " at " << std::dec << i;
    EXPECT_FALSE((c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
                 (c >= 0x2066 && c <= 0x2069))
        << "U+" << std::hex << static_cast<unsigned>(c);
    i += length;
  }
}

// Every line of `out` starts with one of `starts`: no text began a line of
// its own.
void expect_lines_start_with(const std::string& out,
                             std::initializer_list<std::string_view> starts) {
  std::size_t begin = 0;
  while (begin < out.size()) {
    const std::size_t end = out.find('\n', begin);
    const std::string_view line(out.data() + begin,
                                (end == std::string::npos ? out.size() : end) - begin);
    bool known = line.empty();
    for (const std::string_view s : starts) known = known || line.starts_with(s);
    EXPECT_TRUE(known) << line;
    if (end == std::string::npos) break;
    begin = end + 1;
  }
}

TEST(Rendering, ShowEscapesEveryRequesterText) {
  for (const std::string& text : kHostile) {
    SCOPED_TRACE(testing::PrintToString(text));
    const std::string out = describe_record(hostile_record(text));
    expect_inert(out);
    expect_lines_start_with(out, {"+-- ", "| "});
    // The fake field after the line feed stays inside its quoted piece.
    EXPECT_EQ(out.find("| title       \"harmless\""), std::string::npos);
  }
}

TEST(Rendering, ShowPutsTitleAndCommandFirstAndVerifiedBesideDeclared) {
  service::RequestRecord r = hostile_record("");
  r.title = "sudo: reboot";
  r.detail = "command: /usr/sbin/reboot\nrun as: root";
  const std::string out = describe_record(r);
  const std::size_t title = out.find("\"sudo: reboot\"");
  const std::size_t command = out.find("\"command: /usr/sbin/reboot\\n\"");
  const std::size_t verified = out.find("as the kernel reports it");
  const std::size_t declared = out.find("as the request declares it");
  ASSERT_NE(title, std::string::npos) << out;
  ASSERT_NE(command, std::string::npos) << out;
  EXPECT_LT(title, command);
  EXPECT_LT(command, verified);
  EXPECT_LT(verified, declared);
  EXPECT_NE(out.find("uid 1000 (alice), through sudo"), std::string::npos) << out;
  EXPECT_NE(out.find("uid 0, gid 0, process 4242"), std::string::npos) << out;
  EXPECT_NE(out.find("approvals 1/2"), std::string::npos) << out;
}

TEST(Rendering, ListAndHistoryEscapeEveryRequesterText) {
  for (const std::string& text : kHostile) {
    SCOPED_TRACE(testing::PrintToString(text));
    std::vector<service::RequestRecord> records;
    records.push_back(hostile_record(text));
    records.push_back(hostile_record(text));
    records.back().id = "18";
    records.back().state = "denied" + text;

    const std::string list = list_lines(records, 1796673600 + 90);
    expect_inert(list);
    expect_lines_start_with(list, {"ID ", "17 ", "18 "});

    const std::string history = history_lines(records);
    expect_inert(history);
    expect_lines_start_with(history, {"17 ", "18 ", "    bob", "    \"bob"});
  }
}

// A character drawn as blank could stand for a space in a title or a user
// name, or, repeated, push the command out of view: `list` and `show` write
// each as an escape, wherever a requester put it.
TEST(Rendering, ListAndShowEscapeCharactersDrawnAsBlank) {
  const struct {
    const char* bytes;
    std::string_view escape;
  } blanks[] = {
      {"\u115F", "\\u{115f}"}, {"\u1160", "\\u{1160}"},      {"\u3164", "\\u{3164}"},
      {"\uFFA0", "\\u{ffa0}"}, {"\u2800", "\\u{2800}"},      {"\U0001D159", "\\u{1d159}"},
      {"\u17B5", "\\u{17b5}"}, {"\U000E0041", "\\u{e0041}"},
  };
  for (const auto& blank : blanks) {
    SCOPED_TRACE(blank.escape);
    const std::string text = std::string("rm") + blank.bytes + "-rf";
    service::RequestRecord r = hostile_record(text);
    r.created_at = "2026-12-07T20:00:00Z";
    for (const std::string& out : {list_lines({r}, 1796673600 + 90), describe_record(r)}) {
      EXPECT_EQ(out.find(blank.bytes), std::string::npos) << out;
      EXPECT_NE(out.find(std::string("rm") + std::string(blank.escape) + "-rf"), std::string::npos)
          << out;
    }
  }
}

// Columns a line takes on a terminal: two for the wide scripts.
std::size_t columns_of(std::string_view line) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < line.size();) {
    std::size_t length = 1;
    columns += utf8::decode(line, i, length) < 0x1100 ? 1u : 2u;
    i += length;
  }
  return columns;
}

// The summary `watch` asks under keeps to its rows, each within 80 columns,
// whatever a requester made long: the title, the detail's lines, the run-as
// user, the user name, the host, the id; and it still starts with what is
// decided.
TEST(Rendering, TheSummaryKeepsToItsRowsWhateverIsLong) {
  const std::string longest(20000, 'x');
  const std::string wide(3000, '\xe4');  // not UTF-8, each byte an escape
  const struct {
    std::string_view what;
    void (*make_long)(service::RequestRecord&, const std::string&);
  } cases[] = {
      {"title", [](service::RequestRecord& r, const std::string& t) { r.title += t; }},
      {"one detail line", [](service::RequestRecord& r, const std::string& t) { r.detail += t; }},
      {"many detail lines",
       [](service::RequestRecord& r, const std::string& t) {
         for (std::size_t i = 0; i < 500; ++i) r.detail += "\n" + t.substr(0, 10);
       }},
      {"run-as user",
       [](service::RequestRecord& r, const std::string& t) {
         // JSON is UTF-8: the escaped form is a run of escape characters.
         std::string user = t.substr(0, 5000);
         if (t[0] != 'x') {
           user.clear();
           for (int i = 0; i < 1000; ++i) user += "\\u001b";
         }
         r.context = R"({"runAsUid":0,"runAsGid":0,"runAsUser":")" + user + "\"}";
       }},
      {"user name", [](service::RequestRecord& r, const std::string& t) { r.verified_user = t; }},
      {"target host", [](service::RequestRecord& r, const std::string& t) { r.target_host = t; }},
      {"fleet host", [](service::RequestRecord& r, const std::string& t) { r.host = t; }},
      {"id", [](service::RequestRecord& r, const std::string& t) { r.id = t; }},
  };
  for (const auto& c : cases) {
    for (const std::string* text : {&longest, &wide}) {
      SCOPED_TRACE(std::string(c.what) + (text == &wide ? ", escaped" : ""));
      service::RequestRecord r = hostile_record("");
      r.title = "sudo: rm -rf /srv/data";
      r.detail = "command: /usr/bin/rm -rf /srv/data\nrun as: root";
      r.context = R"({"runAsUid":0,"runAsGid":0,"runAsUser":"root"})";
      c.make_long(r, *text);
      const std::string summary = summarize_record(r);
      ASSERT_TRUE(summary.ends_with('\n'));
      const auto rows = static_cast<std::size_t>(std::count(summary.begin(), summary.end(), '\n'));
      EXPECT_LE(rows, kSummaryRows) << summary;
      for (std::size_t begin = 0; begin < summary.size();) {
        const std::size_t end = summary.find('\n', begin);
        EXPECT_LE(columns_of(summary.substr(begin, end - begin)), 80u) << summary;
        begin = end + 1;
      }
      expect_inert(summary);
      EXPECT_NE(summary.find("\"sudo: rm -rf /srv/data"), std::string::npos) << summary;
      EXPECT_NE(summary.find("\"command: /usr/bin/rm -rf /srv/data"), std::string::npos) << summary;
      EXPECT_NE(summary.find("uid 1000 ("), std::string::npos) << summary;
      EXPECT_NE(summary.find("run as        "), std::string::npos) << summary;
      if (c.what != "run-as user") {
        EXPECT_NE(summary.find("root (uid 0, gid 0)"), std::string::npos) << summary;
      }
    }
  }
}

TEST(Rendering, ListColumnsFitTheLongestIdAndRequester) {
  service::RequestRecord a = hostile_record("");
  a.created_at = "2026-12-07T20:00:00Z";
  a.verified_user = "alice";
  a.title = "Reboot";
  a.target_host = "web-03";
  service::RequestRecord b = a;
  b.id = "430329059902226434";
  b.verified_user = "";
  b.verified_uid = 65534;
  b.via_sudo = false;
  b.votes.clear();
  const std::string list = list_lines({}, 0) + list_lines({a, b}, 1796673600 + 90);
  EXPECT_EQ(list,
            "no requests are waiting\n"
            "ID                  AGE   REQUESTER       VOTES  TARGET  TITLE\n"
            "17                  1m    alice via sudo  1/2    \"web-03\"  \"Reboot\"\n"
            "430329059902226434  1m    uid 65534       0/2    \"web-03\"  \"Reboot\"\n");
}

TEST(Rendering, TheFleetsHostFollowsTheRequesterAndIsShownInFull) {
  service::RequestRecord r = hostile_record("");
  r.created_at = "2026-12-07T20:00:00Z";
  r.verified_user = "alice";
  r.title = "Reboot";
  r.target_host = "web-03";
  r.host = "host-a";
  const std::string list = list_lines({r}, 1796673600 + 90);
  EXPECT_NE(list.find("alice via sudo on host-a  1/2"), std::string::npos) << list;
  EXPECT_NE(describe_record(r).find("waits on host"), std::string::npos);
  EXPECT_NE(describe_record(r).find("host-a"), std::string::npos);
  // A host name the database would never hold is quoted, not shown raw.
  r.host = "evil\x1b[2J";
  const std::string odd = list_lines({r}, 1796673600 + 90);
  EXPECT_EQ(odd.find('\x1b'), std::string::npos) << odd;
  EXPECT_EQ(describe_record(r).find('\x1b'), std::string::npos);
  r.host.reset();
  EXPECT_EQ(list_lines({r}, 1796673600 + 90).find(" on "), std::string::npos);
}

TEST(Rendering, LongTitlesAreCutInListsOnly) {
  service::RequestRecord r = hostile_record("");
  r.title = std::string(500, 'x') + "END";
  std::vector<service::RequestRecord> records;
  records.push_back(std::move(r));
  EXPECT_EQ(list_lines(records, 0).find("END"), std::string::npos);
  EXPECT_NE(list_lines(records, 0).find("..."), std::string::npos);
  EXPECT_NE(describe_record(records.front()).find("END"), std::string::npos);
}

TEST(Rendering, UnknownStatesAndUserNamesAreQuoted) {
  service::RequestRecord r = hostile_record("");
  r.state = "approved now";
  r.verified_user = "root (really)";
  const std::string history = history_lines({std::move(r)});
  EXPECT_NE(history.find("\"approved now\""), std::string::npos) << history;
  EXPECT_NE(history.find("\"root (really)\" via sudo"), std::string::npos) << history;
}

}  // namespace
}  // namespace kelvane::operators
