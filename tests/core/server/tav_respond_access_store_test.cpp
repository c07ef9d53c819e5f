// Access control over the SQL Server store and its stand-in: the access list, the filter
// choice and users-table passwords as provisioned by the stand-in's management tool.
#include <string>

#include "common/tav_filter.h"
#include "qk/qk_str_utils.h"
#include "server/tav_db_mssql_acl.h"
#include "server/tav_respond_access.h"
#include "store_fixture.h"

#if defined(STANDIN_DRIVER) && defined(STANDIN_CLI)

namespace {

StorePrivateOdbcIni s_odbc_ini;

// htpasswd -nbB -C 4 alice s3cret
const char *const kAliceHash = "$2y$04$T8Vi/.GS.6zso4q9Wwk5suuTPRR4MsML4lB3E8jbKm.ItdTMRxMVS";
const char *const kScheme = "{\"scheme_type\":\"table\",\"table\":\"users\"}";

struct AccessStore : StoreTest {
  tav_backend_ops ops{};

  void SetUp() override {
    StoreTest::SetUp();
    ops.handle_alloc = tav_db_mssql__handle_alloc;
    ops.handle_free = tav_db_mssql__handle_free;
    ops.set_low_deadlock_priority = tav_db_mssql__set_low_deadlock_priority;
    ops.rollback_tx = tav_db_mssql__rollback_tx;
    ops.get_acl = tav_db_mssql__get_acl;
    ops.get_user_filters = tav_db_mssql__get_user_filters;
    ops.get_filter = tav_db_mssql__get_filter;
    ops.lookup_user = tav_db_mssql__lookup_user;
    ASSERT_EQ(cli("create-config " + dataDir + " cfg"), 0);
    ASSERT_EQ(cli("create-dbfile " + dataDir + " cfg demo"), 0);
    cfg("add-user " + dataDir + " cfg alice '" + kAliceHash + "'");
    cfg("add-user " + dataDir + " cfg al '{\"op\":\"alias\",\"user\":\"alice\"}'");
    cfg("add-group " + dataDir + " cfg alice staff");
    cfg("add-acl " + dataDir + " cfg demo '" + kScheme + "' user:alice '*' pull deny");
    cfg("add-acl " + dataDir + " cfg demo '' anyone '*' pull allow");
    cfg("add-filter " + dataDir + " cfg demo 5 '{\"tbls\":{}}'");
    cfg("assign-filter " + dataDir + " cfg demo x group:staff 5 10");
    open("cfg");
  }
  void cfg(const std::string &args) {
    std::string out;
    ASSERT_EQ(cli(args, &out), 0) << args << ": " << out;
  }
};

TEST_F(AccessStore, PasswordAccessListAndFilterOfOneUser) {
  int ok = -1;
  tav_user_identity *alice = nullptr;
  tav_respond__check_users_table_password(ctx, &ops, conn, "users", "al", "s3cret", &ok, &alice);
  ASSERT_EQ(take_error(), "ok");
  EXPECT_EQ(ok, 1);
  ASSERT_NE(alice, nullptr);
  EXPECT_STREQ(alice->name, "al");
  tav_user_identity__free(ctx, &alice);
  tav_respond__check_users_table_password(ctx, &ops, conn, "users", "alice", "s3cret", &ok, &alice);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_EQ(ok, 1);
  QK_strdup(ctx, kScheme, &alice->scheme);

  QK_varray *acl = nullptr;
  int allowed = -1;
  tav_respond__get_acl(ctx, &ops, conn, "demo", &acl);
  ASSERT_EQ(take_error(), "ok");
  tav_respond__check_dbfile_permission(ctx, "pull", acl, alice, &allowed);
  EXPECT_EQ(allowed, 0);  // her own entry denies
  tav_respond__check_dbfile_permission(ctx, "pull", acl, nullptr, &allowed);
  EXPECT_EQ(allowed, 1);  // anyone else may pull
  EXPECT_EQ(take_error(), "ok");
  QK_varray__free(ctx, acl);

  tav_db_handle *h = nullptr;
  tav_filter *filter = nullptr;
  QK_int64 txid = -1;
  tav_db_mssql__handle_alloc(ctx, conn, "demo", &h);
  tav_respond__get_filter(ctx, &ops, h, alice, &filter, &txid);
  ASSERT_EQ(take_error(), "ok");
  ASSERT_NE(filter, nullptr);  // by her group, whatever the assignment's scheme
  EXPECT_EQ(filter->filter_id, 5);
  EXPECT_STREQ(filter->user_name, "alice");
  EXPECT_EQ(txid, 0);
  tav_filter__free(ctx, &filter);
  tav_respond__get_filter(ctx, &ops, h, nullptr, &filter, &txid);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(filter, nullptr);  // nothing assigned to anyone
  tav_db_mssql__handle_free(ctx, &h);
  tav_user_identity__free(ctx, &alice);
}

}  // namespace

#endif
