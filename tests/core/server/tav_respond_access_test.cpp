// Access control: identities, access lists and their probe order, filter choice, and the
// password check of users tables (plain, bcrypt, aliases), against a fake store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access_fake_store.h"
#include "context_fixture.h"

namespace {

const char *const kTableScheme = "{\"scheme_type\":\"table\",\"table\":\"users\"}";
const char *const kWindowsScheme = "{\"domain\":\"corp\",\"scheme_type\":\"windows\"}";

struct AccessTest : ContextTest {
  FakeAccessStore store;
  tav_backend_ops ops = FakeAccessStore::ops();
  std::vector<tav_user_identity *> identities;

  void TearDown() override {
    for (auto *p : identities) tav_user_identity__free(ctx, &p);
    ContextTest::TearDown();
  }
  // An identity owned by the test; scheme NULL leaves it unauthenticated.
  tav_user_identity *identity(const char *name, const char *scheme, std::vector<std::string> groups = {}) {
    tav_user_identity *p = nullptr;
    tav_user_identity__alloc(ctx, name, nullptr, &p);
    if (scheme) QK_strdup(ctx, scheme, &p->scheme);
    for (const auto &g : groups) QK_varray__append__string(ctx, p->groups, g.c_str());
    identities.push_back(p);
    return p;
  }
  QK_varray *array(const std::string &json) {
    QK_varray *p = nullptr;
    FakeAccessStore::parse_array(ctx, json, &p);
    return p;
  }
  // "allow", "deny" or the error of one whole-dbfile check.
  std::string dbfile_permission(const std::string &acl, const tav_user_identity *who, const char *op = "pull") {
    QK_varray *pAcl = acl.empty() ? nullptr : array(acl);
    int allowed = -1;
    tav_respond__check_dbfile_permission(ctx, op, pAcl, who, &allowed);
    QK_varray__free(ctx, pAcl);
    std::string err = take_error();
    return err != "ok" ? err : allowed ? "allow" : "deny";
  }
  std::string table_permission(const std::string &acl, const std::string &requests, const tav_user_identity *who) {
    QK_varray *pAcl = array(acl), *pRequests = array(requests);
    int allowed = -1;
    tav_respond__check_table_permissions(ctx, pAcl, pRequests, who, &allowed);
    QK_varray__free(ctx, pAcl);
    QK_varray__free(ctx, pRequests);
    std::string err = take_error();
    return err != "ok" ? err : allowed ? "allow" : "deny";
  }
};

// A JSON text member holding a scheme text (whose quotes need escaping).
std::string json_text(const char *text) {
  std::string s;
  for (const char *c = text; *c; c++) s += (*c == '"') ? std::string("\\\"") : std::string(1, *c);
  return "\"" + s + "\"";
}

std::string entry(const char *scheme, const char *who, const char *op, const char *tbl, const char *result) {
  std::string r = "{\"scheme\":" + json_text(scheme) + ",\"who\":\"" + who + "\",\"op\":\"" + op + "\",\"tbl\":\"" + tbl + "\"";
  if (result) r += std::string(",\"result\":\"") + result + "\"";
  return r + "}";
}

TEST_F(AccessTest, IdentityCopiesTheNameAndStartsWithoutSchemeOrGroups) {
  tav_user_identity *p = nullptr;
  tav_user_identity__alloc(ctx, "alice", "ignored", &p);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_STREQ(p->name, "alice");
  EXPECT_EQ(p->scheme, nullptr);
  EXPECT_EQ(QK_varray__count_noctx(p->groups), 0u);
  EXPECT_FALSE(tav_user_identity__is_authenticated(p));
  tav_user_identity__free(ctx, &p);
  EXPECT_EQ(p, nullptr);
  tav_user_identity__free(ctx, &p);  // NULL is accepted
  tav_user_identity__alloc(ctx, nullptr, nullptr, &p);
  EXPECT_EQ(p->name, nullptr);
  tav_user_identity__free(ctx, &p);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(AccessTest, DbfilePermissionTakesTheMostSpecificEntry) {
  auto *alice = identity("alice", kTableScheme, {"staff"});
  auto *aliceOtherScheme = identity("alice", kWindowsScheme, {"staff"});
  auto *bob = identity("bob", kTableScheme);
  auto *unauthenticated = identity("alice", nullptr, {"staff"});
  const std::string userDenyAnyoneAllow =
      "[" + entry(kTableScheme, "user:alice", "pull", "*", "deny") + "," +
      entry(kTableScheme, "anyone", "pull", "*", "allow") + "]";
  const std::string groupAllow = "[" + entry(kTableScheme, "group:staff", "*", "*", "allow") + "]";
  struct Case {
    std::string acl;
    const tav_user_identity *who;
    const char *expected;
  } cases[] = {
      {userDenyAnyoneAllow, alice, "deny"},
      {userDenyAnyoneAllow, bob, "allow"},
      {userDenyAnyoneAllow, nullptr, "allow"},
      // the user entry is registered under another scheme than the one alice came by
      {userDenyAnyoneAllow, aliceOtherScheme, "allow"},
      // an entry without result never matches, so the later one decides
      {"[" + entry(kTableScheme, "user:alice", "pull", "*", nullptr) + "," +
           entry(kTableScheme, "anyone", "*", "*", "deny") + "]",
       alice, "deny"},
      {groupAllow, alice, "allow"},
      {groupAllow, aliceOtherScheme, "deny"},
      {groupAllow, unauthenticated, "deny"},
      {"[" + entry("x", "any_authenticated_user", "pull", "*", "allow") + "]", aliceOtherScheme, "allow"},
      {"[" + entry("x", "any_authenticated_user", "pull", "*", "allow") + "]", unauthenticated, "deny"},
      // op before "*" within one match type, user before group before anyone
      {"[" + entry(kTableScheme, "group:staff", "*", "*", "deny") + "," +
           entry(kTableScheme, "group:staff", "pull", "*", "allow") + "]",
       alice, "allow"},
      {"[" + entry(kTableScheme, "anyone", "pull", "*", "deny") + "," +
           entry(kTableScheme, "user:alice", "*", "*", "allow") + "]",
       alice, "allow"},
      {"[" + entry(kTableScheme, "anyone", "push", "*", "allow") + "]", alice, "deny"},
      {"[" + entry(kTableScheme, "anyone", "pull", "*", "maybe") + "]", alice, "deny"},
      {"[" + entry(kTableScheme, "user:alicex", "pull", "*", "allow") + "]", alice, "deny"},
      {"[]", alice, "deny"},
      {"", alice, "deny"},  // no access list at all
      {"[{\"who\":\"anyone\",\"op\":\"pull\",\"tbl\":\"*\",\"result\":\"allow\"}]", alice, "47:scheme"},
  };
  for (const auto &c : cases) EXPECT_EQ(dbfile_permission(c.acl, c.who), c.expected) << c.acl;
}

TEST_F(AccessTest, UnknownMatchTypesAreErrors) {
  QK_varray *list = array("[]");
  QK_vhash *found = nullptr;
  tav_respond__find_acl_entry(ctx, list, 4, nullptr, nullptr, nullptr, &found);
  EXPECT_EQ(take_error(), "1:Unknown ACL match type");
  tav_respond__find_filter_assignment(ctx, list, -1, nullptr, &found);
  EXPECT_EQ(take_error(), "1:Unknown filter match type");
  QK_varray__free(ctx, list);
}

TEST_F(AccessTest, TablePermissionsNeedAnAnswerForEveryRequest) {
  auto *alice = identity("alice", kTableScheme);
  const std::string addT = R"([{"op":"tbl_add_row","tbl":"101"}])";
  const std::string addTdeleteU = R"([{"op":"tbl_add_row","tbl":"101"},{"op":"tbl_delete_row","tbl":"202"}])";
  struct Case {
    std::string acl, requests;
    const char *expected;
  } cases[] = {
      {"[" + entry("", "anyone", "*", "*", "allow") + "]", addT, "allow"},
      {"[" + entry("", "anyone", "tbl_add_row", "101", "allow") + "]", addT, "allow"},
      {"[" + entry("", "anyone", "tbl_add_row", "*", "allow") + "]", addT, "allow"},
      {"[" + entry("", "anyone", "*", "101", "allow") + "]", addT, "allow"},
      {"[" + entry("", "anyone", "tbl_add_row", "202", "allow") + "]", addT, "deny"},
      // an entry for every operation on another table does not answer this one
      {"[" + entry("", "anyone", "*", "202", "allow") + "]", addT, "deny"},
      {"[" + entry("", "anyone", "tbl_add_row", "101", "allow") + "]", addTdeleteU, "deny"},
      {"[" + entry("", "anyone", "tbl_add_row", "101", "allow") + "," +
           entry("", "anyone", "tbl_delete_row", "202", "allow") + "]",
       addTdeleteU, "allow"},
      // the user's own deny beats anyone's allow, and ends the check
      {"[" + entry("", "anyone", "*", "*", "allow") + "," +
           entry(kTableScheme, "user:alice", "tbl_delete_row", "202", "deny") + "]",
       addTdeleteU, "deny"},
      {"[]", "[]", "allow"},
      {"[]", addT, "deny"},
  };
  for (const auto &c : cases) EXPECT_EQ(table_permission(c.acl, c.requests, alice), c.expected) << c.acl;

  QK_varray *requests = array(addT);
  int allowed = -1;
  tav_respond__check_table_permissions(ctx, nullptr, requests, alice, &allowed);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(allowed, 0);
  QK_varray__free(ctx, requests);
}

TEST_F(AccessTest, ReadingTheAccessListRollsBackWhenItFailsAfterThePriorityWasSet) {
  store.acl = "[" + entry("", "anyone", "pull", "*", "allow") + "]";
  QK_varray *acl = nullptr;
  tav_respond__get_acl(ctx, &ops, nullptr, "demo", &acl);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(QK_varray__count_noctx(acl), 1u);
  QK_varray__free(ctx, acl);
  EXPECT_EQ(store.calls, (std::vector<std::string>{"handle_alloc", "set_low_deadlock_priority", "get_acl",
                                                   "handle_free"}));

  store.calls.clear();
  store.fail_op = "get_acl";
  acl = nullptr;
  tav_respond__get_acl(ctx, &ops, nullptr, "demo", &acl);
  EXPECT_EQ(take_error().substr(0, 3), "90:");
  EXPECT_EQ(acl, nullptr);
  EXPECT_EQ(store.calls, (std::vector<std::string>{"handle_alloc", "set_low_deadlock_priority", "get_acl",
                                                   "rollback_tx", "handle_free"}));

  store.calls.clear();
  store.fail_op = "set_low_deadlock_priority";
  tav_respond__get_acl(ctx, &ops, nullptr, "demo", &acl);
  EXPECT_EQ(take_error().substr(0, 3), "90:");
  EXPECT_EQ(store.calls,
            (std::vector<std::string>{"handle_alloc", "set_low_deadlock_priority", "handle_free"}));
}

TEST_F(AccessTest, FilterChoiceFollowsUserGroupAuthenticatedAnyone) {
  store.filters = {{1, "{}"}, {2, "{}"}, {3, "{}"}, {4, "{}"}};
  auto assignment = [](const char *scheme, const char *who, int id) {
    return "{\"scheme\":" + json_text(scheme) + ",\"who\":\"" + who + "\",\"filter\":" + std::to_string(id) + "}";
  };
  const std::string all = "[" + assignment("", "anyone", 4) + "," + assignment("", "any_authenticated_user", 3) +
                          "," + assignment("other", "group:staff", 2) + "," +
                          assignment(kTableScheme, "user:alice", 1) + "]";
  auto *alice = identity("alice", kTableScheme, {"staff"});
  auto *carol = identity("carol", kWindowsScheme, {"staff"});  // a group assignment ignores the scheme
  auto *dave = identity("dave", kTableScheme);
  auto *eve = identity("eve", nullptr, {"staff"});  // not authenticated, but in the group
  struct Case {
    std::string assignments;
    const tav_user_identity *who;
    const char *expected;  // the get_filter call made, or "none"
  } cases[] = {
      {all, alice, "get_filter(1,alice)"},
      {all, carol, "get_filter(2,carol)"},
      {all, dave, "get_filter(3,dave)"},
      {all, eve, "get_filter(2,eve)"},
      {all, nullptr, "get_filter(4,NULL)"},
      {"[" + assignment("", "user:alice", 9) + "]", nullptr, "none"},
      {"[" + assignment("", "anyone", 9) + "]", alice, "get_filter(9,alice)"},  // no such filter
      {"[]", alice, "none"},
  };
  for (const auto &c : cases) {
    store.assignments = c.assignments;
    store.calls.clear();
    tav_filter *filter = nullptr;
    QK_int64 txid = 0;
    tav_respond__get_filter(ctx, &ops, nullptr, c.who, &filter, &txid);
    ASSERT_EQ(take_error(), "ok") << c.expected;
    EXPECT_EQ(txid, 7);
    std::string made = store.calls.size() > 1 ? store.calls[1] : "none";
    EXPECT_EQ(made, c.expected);
    if (made.rfind("get_filter(9", 0) == 0 || made == "none") {
      EXPECT_EQ(filter, nullptr);
    } else {
      ASSERT_NE(filter, nullptr);
      EXPECT_EQ(std::to_string(filter->filter_id), made.substr(11, 1));
    }
    tav_filter__free(ctx, &filter);
  }
  store.assignments = "[{\"who\":\"anyone\",\"filter\":1}]";
  tav_filter *filter = nullptr;
  tav_respond__get_filter(ctx, &ops, nullptr, nullptr, &filter, nullptr);
  EXPECT_EQ(take_error(), "47:scheme");
  EXPECT_EQ(filter, nullptr);
}

// htpasswd -nbB -C 4 alice s3cret
const char *const kBcrypt2y = "$2y$04$T8Vi/.GS.6zso4q9Wwk5suuTPRR4MsML4lB3E8jbKm.ItdTMRxMVS";

TEST_F(AccessTest, BcryptAcceptsTheThreeBcryptPrefixesOnly) {
  std::string h2a = std::string(kBcrypt2y).replace(0, 4, "$2a$");
  std::string h2b = std::string(kBcrypt2y).replace(0, 4, "$2b$");
  struct Case {
    std::string stored;
    const char *password;
    const char *expected;
  } cases[] = {
      {kBcrypt2y, "s3cret", "1"},   {kBcrypt2y, "s3cret ", "0"}, {kBcrypt2y, "", "0"},
      {h2a, "s3cret", "1"},         {h2b, "s3cret", "1"},        {h2b, "S3cret", "0"},
      // an MD5-crypt value of the same password: never matches
      {"$1$saltsalt$6WPcAOb4MOX7r4VnNBZbI.", "s3cret", "0"},
      {"$", "s3cret", "0"},
      {"$2b$04$short", "s3cret", "1:_crypt_blowfish_rn failed"},
  };
  for (const auto &c : cases) {
    int ok = -1;
    tav_respond__check_bcrypt(ctx, c.password, c.stored.c_str(), &ok);
    std::string err = take_error();
    EXPECT_EQ(err == "ok" ? std::to_string(ok) : err, c.expected) << c.stored << " " << c.password;
  }
}

TEST_F(AccessTest, UsersTablePasswordsFollowAliasesAndStopAtCycles) {
  store.users = {
      {"users/alice", {"alice", kBcrypt2y, {"staff", "ops"}}},
      {"users/bob", {"bob", "plain pw", {}}},
      {"users/al", {"al", "{\"op\":\"alias\",\"user\":\"alice\"}", {"aliases"}}},
      {"users/ext", {"ext", "{\"op\":\"alias\",\"table\":\"partners\"}", {}}},
      {"partners/ext", {"ext", "partner pw", {}}},
      {"users/ping", {"ping", "{\"op\":\"alias\",\"user\":\"pong\"}", {}}},
      {"users/pong", {"pong", "{\"op\":\"alias\",\"user\":\"ping\"}", {}}},
      {"users/self", {"self", "{\"op\":\"alias\"}", {}}},
      {"users/notalias", {"notalias", "{\"op\":\"link\",\"user\":\"bob\"}", {}}},
      {"users/broken", {"broken", "{not json", {}}},
      {"users/empty", {"empty", "", {}}},
  };
  struct Case {
    const char *user, *password;
    const char *expected;  // "ok|name|groups", "no|name|groups" or the error
  } cases[] = {
      {"alice", "s3cret", "1|alice|staff,ops"},
      {"alice", "wrong", "0|alice|staff,ops"},
      {"bob", "plain pw", "1|bob|"},
      {"bob", "plain", "0|bob|"},
      {"nobody", "x", "0||"},
      // judged by the alias target's password, identity of the user named
      {"al", "s3cret", "1|al|aliases"},
      {"al", "{\"op\":\"alias\",\"user\":\"alice\"}", "0|al|aliases"},
      {"ext", "partner pw", "1|ext|"},
      {"ping", "x", "0|ping|"},
      {"self", "{\"op\":\"alias\"}", "0|self|"},
      {"notalias", "plain pw", "0|notalias|"},
      {"empty", "", "1|empty|"},
  };
  for (const auto &c : cases) {
    int ok = -1;
    tav_user_identity *who = nullptr;
    tav_respond__check_users_table_password(ctx, &ops, nullptr, "users", c.user, c.password, &ok, &who);
    ASSERT_EQ(take_error(), "ok") << c.user;
    std::string groups;
    for (QK_uint32 i = 0; who && i < QK_varray__count_noctx(who->groups); i++) {
      const char *g = nullptr;
      QK_varray__get__sz(ctx, who->groups, i, &g);
      groups += (i ? "," : "") + std::string(g);
    }
    EXPECT_EQ(std::to_string(ok) + "|" + (who ? who->name : "") + "|" + groups, c.expected) << c.user;
    tav_user_identity__free(ctx, &who);
  }

  store.calls.clear();
  int ok = -1;
  tav_respond__check_users_table_password(ctx, &ops, nullptr, "users", "ping", "x", &ok, nullptr);
  EXPECT_EQ(store.calls, (std::vector<std::string>{"lookup_user users/ping", "lookup_user users/pong"}));

  tav_user_identity *who = nullptr;
  tav_respond__check_users_table_password(ctx, &ops, nullptr, "users", "broken", "x", &ok, &who);
  EXPECT_EQ(take_error().substr(0, 3), "45:");
  EXPECT_EQ(who, nullptr);

  store.fail_op = "lookup_user users/alice";
  tav_respond__check_users_table_password(ctx, &ops, nullptr, "users", "al", "s3cret", &ok, &who);
  EXPECT_EQ(take_error().substr(0, 3), "90:");
  EXPECT_EQ(who, nullptr);
}

}  // namespace
