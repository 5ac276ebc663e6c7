// The service library at its edges: the deepest context a requester may
// send through every kind of daemon line, records the store must refuse or
// cannot extend, configurations at and past their limits.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "service/config.h"
#include "service/operator_protocol.h"
#include "service/request.h"
#include "service/store.h"
#include "testing/service.h"

namespace kelvane::service {
namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string request_with_context(const std::string& context) {
  return R"({"title":"t","detail":"d","action":"a","requester":"r","sourceHost":"s",)"
         R"("targetHost":"h","context":)" +
         context + "}";
}

RequestRecord record_with_context(std::string context) {
  RequestRecord r;
  r.id = "41";
  r.state = "pending";
  r.title = "deep";
  r.created_at = "2026-12-07T08:45:00Z";
  r.peer = {1000, 1000, 7, "client", "/usr/bin/client"};
  r.context = std::move(context);
  return r;
}

// A requester may send a context as deep as the request checks let it; the
// record holding it must then read back from every line that carries it,
// though those lines nest it deeper than the reader takes at once.
TEST(Edges, TheDeepestAcceptedContextReadsBackFromEveryDaemonLine) {
  std::size_t deepest = 0;
  for (std::size_t depth = 100; depth < 200; ++depth) {
    if (!parse_request(request_with_context(nested(depth))).ok()) break;
    deepest = depth;
  }
  ASSERT_GE(deepest, 126u);
  const auto refused = parse_request(request_with_context(nested(deepest + 1)));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("nests more than"), std::string::npos) << refused.error();

  const RequestRecord deep = record_with_context(nested(deepest));
  OperatorAnswer shown;
  shown.request = deep;
  OperatorAnswer listed;
  listed.requests = std::vector<RequestRecord>{deep, deep};
  OperatorAnswer history;
  history.records = std::vector<RequestRecord>{deep};
  history.reply = true;
  const std::pair<const char*, std::string> lines[] = {
      {"show", encode_answer(shown)},
      {"list", encode_answer(listed)},
      {"history", encode_answer(history)},
      {"event", encode_pending_event(deep)},
  };
  for (const auto& [what, line] : lines) {
    SCOPED_TRACE(what);
    auto decoded = decode_daemon_line(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    std::vector<RequestRecord> records;
    if (auto* a = std::get_if<OperatorAnswer>(&decoded.value())) {
      if (a->request) records.push_back(*a->request);
      if (a->requests) records = *a->requests;
      if (a->records) records = *a->records;
    } else {
      records.push_back(*std::get<OperatorEvent>(decoded.value()).request);
    }
    ASSERT_FALSE(records.empty());
    for (const RequestRecord& r : records) EXPECT_EQ(r, deep);
  }
  // A record read member by member still checks what it reads.
  std::string broken = encode_answer(shown);
  const std::size_t at = broken.find("\"timeoutSecs\":0");
  ASSERT_NE(at, std::string::npos);
  broken.replace(at, 15, "\"timeoutSecs\":\"0\"");
  auto decoded = decode_daemon_line(std::string_view(broken).substr(0, broken.size() - 1));
  ASSERT_FALSE(decoded.ok());
  EXPECT_NE(decoded.error().find("timeoutSecs"), std::string::npos) << decoded.error();
}

void run_sql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(Edges, TheStoreRefusesWhatItCannotUseAndSaysWhy) {
  struct Case {
    const char* what;
    std::function<void(const testing::TempDir&)> prepare;
    std::string error;
  };
  const Case cases[] = {
      {"not a database",
       [](const testing::TempDir& d) {
         testing::write_file(d.file("record.sqlite3"), std::string(4096, 'x'));
       },
       "record.sqlite3: file is not a database"},
      {"a newer schema",
       [](const testing::TempDir& d) {
         run_sql(d.file("record.sqlite3"), "PRAGMA user_version=99");
       },
       "the record has schema version 99, this program knows version"},
      {"a directory where the file goes",
       [](const testing::TempDir& d) { ::mkdir(d.file("record.sqlite3").c_str(), 0700); },
       "record.sqlite3: cannot open the record"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    c.prepare(dir);
    auto opened = Store::open(dir.path());
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().find(c.error), std::string::npos) << opened.error();
  }
}

TEST(Edges, TheStoreNeverHandsOutAnIdTwiceNorAVoteForNoRequest) {
  testing::TempDir dir;
  {
    auto opened = Store::open(dir.path());
    ASSERT_TRUE(opened.ok()) << opened.error();
  }
  run_sql(dir.file("record.sqlite3"),
          "UPDATE meta SET value = (1 << 39) - 5 WHERE key = 'next_sequence'");
  auto opened = Store::open(dir.path());
  ASSERT_TRUE(opened.ok()) << opened.error();
  Store& store = *opened.value();
  ASSERT_TRUE(store.begin().ok());
  EXPECT_TRUE(store.reserve_ids(2).ok());
  const auto used_up = store.reserve_ids(10);
  ASSERT_FALSE(used_up.ok());
  EXPECT_NE(used_up.error().find("the request ids of this record are used up"), std::string::npos);
  const auto vote = store.add_vote("12345", {"bob", 1001, true, std::nullopt, "t", std::nullopt});
  ASSERT_FALSE(vote.ok());
  EXPECT_NE(vote.error().find("cannot record a vote on request 12345"), std::string::npos)
      << vote.error();
  store.rollback();
  // Rolled back: the ids taken above are free again, and no more.
  ASSERT_TRUE(store.begin().ok());
  EXPECT_TRUE(store.reserve_ids(4).ok());
  EXPECT_FALSE(store.reserve_ids(1).ok());
  store.rollback();
  EXPECT_EQ(store.integrity_check().value(), "ok");
}

TEST(Edges, ConfigurationsAtAndPastTheirLimits) {
  struct Case {
    std::string text;
    std::string error;  // "" : accepted
  };
  const Case cases[] = {
      {"approvers = []\nauditors = []\n", ""},
      {"approvals = 18446744073709551615\n", "s.toml:1:"},  // past TOML's integers
      {"approvals = 9223372036854775807\n", ""},
      {"keep_days = 0\n", ""},  // kept for ever
      {"keep_days = -1\n", "keep_days must be a whole number from 0 to 36500"},
      {"max_pending = 0\n", "max_pending must be a whole number from 1"},
      {"operator_connections_per_user = 1\noperator_idle_timeout = 86400\n", ""},
      {"operator_connections_per_user = 4096\noperator_idle_timeout = 1\n", ""},
      {"operator_connections_per_user = 0\n",
       "operator_connections_per_user must be a whole number from 1 to 4096"},
      {"operator_connections_per_user = 4097\n",
       "operator_connections_per_user must be a whole number from 1 to 4096"},
      {"operator_idle_timeout = 0\n",
       "operator_idle_timeout must be a whole number from 1 to 86400"},
      {"operator_idle_timeout = 86401\n", "operator_idle_timeout must be"},
      {"operator_idle_timeout = -1\n", "operator_idle_timeout must be"},
      {"token_lifetime = true\n", "token_lifetime must be"},
      {"socket = 5\n", "socket must be an absolute path"},
      {"state_dir = \"/var/lib/a\\u0000b\"\n", "state_dir must be an absolute path"},
      {"approvers = [\"a/b\"]\n", "approvers takes user names"},
      {"approvers = [\"a:b\"]\n", "approvers takes user names"},
      {"approvers = [\"" + std::string(257, 'a') + "\"]\n", "approvers takes user names"},
      {"approvers = [\"" + std::string(256, 'a') + "\"]\n", ""},
      {"approvers = [[\"alice\"]]\n", "approvers takes user names"},
      {"default_timeout = 3600\nmax_timeout = 3600\n", ""},
      {"max_timeout = 10\n", "default_timeout (300) is longer than max_timeout (10)"},
      {"[[approvers]]\nname = \"x\"\n", "s.toml:1:1: approvers takes user names"},
      {"\xef\xbb\xbf"
       "approvals = 2\n",
       ""},  // a byte order mark
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    const auto config = parse_config(c.text, "s.toml");
    if (c.error.empty()) {
      EXPECT_TRUE(config.ok()) << config.error();
    } else {
      ASSERT_FALSE(config.ok());
      EXPECT_NE(config.error().find(c.error), std::string::npos) << config.error();
    }
  }
}

TEST(Edges, ConfigurationFilesThatCannotBeRead) {
  testing::TempDir dir;
  ::mkdir(dir.file("a-directory").c_str(), 0700);
  testing::write_file(dir.file("huge.toml"), "# " + std::string(1 << 20, 'x') + "\n");
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("a-directory"), "a-directory: Is a directory"},
      {dir.file("huge.toml"), "huge.toml: the file is larger than 1 MiB"},
      {dir.file("no/such.toml"), "no/such.toml: No such file or directory"},
  };
  for (const auto& [path, error] : cases) {
    for (const bool named : {true, false}) {
      const auto config = load_config(path, named);
      if (!named && error.find("No such file") != std::string::npos) {
        EXPECT_TRUE(config.ok());  // the default path may be absent
        continue;
      }
      ASSERT_FALSE(config.ok()) << path;
      EXPECT_NE(config.error().find(error), std::string::npos) << config.error();
    }
  }
}

}  // namespace
}  // namespace kelvane::service
