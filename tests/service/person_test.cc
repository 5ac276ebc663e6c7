// One person, one vote: the rule, case by case. The fleet's database holds
// the same rule in SQL (kelvane_approval.same_person); tests/fleet checks it
// there on the same cases.
#include "service/person.h"

#include <gtest/gtest.h>

namespace kelvane::service {
namespace {

TEST(Person, ALoginNameAnywhereOrAUidOnOneHostIsOnePerson) {
  struct Case {
    const char* what;
    Person a;
    Person b;
    bool same;
  };
  const Case cases[] = {
      {"one account", {"", "alice", 1000}, {"", "alice", 1000}, true},
      {"two accounts with one name", {"", "alice", 1000}, {"", "alice", 5000}, true},
      {"one uid under two names", {"", "alice", 1000}, {"", "alice2", 1000}, true},
      {"two people", {"", "alice", 1000}, {"", "bob", 1001}, false},
      {"one name through two hosts", {"web1", "alice", 1000}, {"web2", "alice", 2000}, true},
      {"one uid on two hosts is two people", {"web1", "alice", 1000}, {"web2", "bob", 1000}, false},
      {"one uid on one host", {"web1", "alice", 1000}, {"web1", "bob", 1000}, true},
      {"two uids without names", {"", "", 1000}, {"", "", 1001}, false},
      {"one uid without a name", {"", "", 1000}, {"", "", 1000}, true},
      {"no name is nobody's name", {"web1", "", 1000}, {"web2", "", 1001}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(same_person(c.a, c.b), c.same) << c.what;
    EXPECT_EQ(same_person(c.b, c.a), c.same) << c.what << " (the other way)";
  }
}

TEST(Person, NoSecondVoteAndNoneOnOnesOwnRequest) {
  RequestRecord request;
  request.id = "9";
  request.host = "web1";
  request.verified_uid = 1000;
  request.verified_user = "alice";
  request.votes = {{"bob", 1001, true, std::nullopt, "t", "web2"}};
  struct Case {
    const char* what;
    Person voter;
    const char* refusal;  // "" when the vote may be cast
  };
  const Case cases[] = {
      {"the requester at the requesting host", {"web1", "alice", 1000}, "is your own"},
      {"the requester through another host", {"web3", "alice", 3000}, "is your own"},
      {"the requester's uid under another name", {"web1", "alice-admin", 1000}, "is your own"},
      {"another host's uid 1000 is someone else", {"web2", "carol", 1000}, ""},
      {"the voter again through another host", {"web3", "bob", 7}, "already voted"},
      {"the voter's uid again under another name", {"web2", "robert", 1001}, "already voted"},
      {"someone new", {"web3", "carol", 1002}, ""},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> refusal = not_one_more_vote(request, c.voter);
    if (*c.refusal == '\0') {
      EXPECT_FALSE(refusal) << c.what << ": " << refusal.value_or("");
    } else {
      ASSERT_TRUE(refusal) << c.what;
      EXPECT_NE(refusal->find(c.refusal), std::string::npos) << c.what << ": " << *refusal;
    }
  }
}

}  // namespace
}  // namespace kelvane::service
