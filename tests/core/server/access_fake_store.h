// A store for access-control tests: the operations that read access lists, filter
// assignments, filters and users answer from small in-memory fixtures, and every call is
// logged, so that tests see which store operations ran in which order.
#pragma once

#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "common/tav_filter.h"
#include "qk/qk_malloc.h"
#include "qk/qk_str_utils.h"
#include "server/tav_db_mssql.h"
#include "server/tav_respond_access.h"

struct FakeUser {
  std::string name;
  std::string pass;
  std::vector<std::string> groups;
};

struct FakeAccessStore {
  std::string acl = "[]";          // JSON array of access-list rows
  std::string assignments = "[]";  // JSON array of filter assignments
  QK_int64 filter_txid = 7;
  std::map<QK_int64, std::string> filters;        // id -> filter JSON
  std::map<std::string, FakeUser> users;          // "table/user" -> row
  std::string fail_op;                            // the operation that fails with 90
  std::vector<std::string> calls;
  // Connections: the registry's odbc value per dbfile ("" for NULL), names of connections.
  std::map<std::string, std::string> registry_odbc;
  std::map<const QK_mssql_connection *, std::string> connection_names;
  std::string users_connection;  // the connection the last user was looked up on

  static FakeAccessStore *&current() {
    static FakeAccessStore *p = nullptr;
    return p;
  }
  FakeAccessStore() { current() = this; }
  ~FakeAccessStore() { current() = nullptr; }

  static bool fail(QK_context *ctx, const std::string &op) {
    current()->calls.push_back(op);
    if (current()->fail_op != op) return false;
    QK_context__throw(ctx, QK_ERR_DEADLOCK_VICTIM, __FILE__, __LINE__);
    return true;
  }
  static void parse_array(QK_context *ctx, const std::string &json, QK_varray **pp) {
    QK_vhash *doc = nullptr;
    QK_varray *items = nullptr;
    std::string wrapped = "{\"a\":" + json + "}";
    QK_vhash__alloc__from_json(ctx, &doc, wrapped.c_str());
    if (QK_context__has_error(ctx)) return;
    QK_vhash__get__varray(ctx, doc, "a", &items);
    QK_varray__alloc(ctx, pp);
    QK_varray__copy_items(ctx, items, *pp);
    QK_vhash__free(ctx, doc);
  }

  static void handle_alloc(QK_context *ctx, QK_mssql_connection *conn, const char *name, tav_db_handle **pp) {
    if (fail(ctx, "handle_alloc")) return;
    tav_db_mssql__handle_alloc(ctx, conn, name, pp);
  }
  static void handle_free(QK_context *ctx, tav_db_handle **pp) {
    current()->calls.push_back("handle_free");
    tav_db_mssql__handle_free(ctx, pp);
  }
  static void set_low_deadlock_priority(QK_context *ctx, tav_db_handle *) { fail(ctx, "set_low_deadlock_priority"); }
  static void rollback_tx(QK_context *ctx, tav_db_handle *) { fail(ctx, "rollback_tx"); }
  static void get_acl(QK_context *ctx, tav_db_handle *, QK_varray **pp) {
    if (!fail(ctx, "get_acl")) parse_array(ctx, current()->acl, pp);
  }
  static void get_user_filters(QK_context *ctx, tav_db_handle *, QK_varray **pp, QK_int64 *txid) {
    if (fail(ctx, "get_user_filters")) return;
    parse_array(ctx, current()->assignments, pp);
    if (txid) *txid = current()->filter_txid;
  }
  static void get_filter(QK_context *ctx, tav_db_handle *, QK_int64 id, const char *user, tav_filter **pp) {
    if (fail(ctx, "get_filter")) return;
    current()->calls.back() += "(" + std::to_string(id) + "," + (user ? user : "NULL") + ")";
    *pp = nullptr;
    auto it = current()->filters.find(id);
    if (it != current()->filters.end()) tav_filter__alloc(ctx, id, user, it->second.c_str(), pp);
  }
  static void lookup_user(QK_context *ctx, QK_mssql_connection *conn, const char *table, const char *user,
                          tav_user_identity **ppIdentity, char **ppPass) {
    if (fail(ctx, std::string("lookup_user ") + table + "/" + user)) return;
    current()->users_connection = current()->connection_names[conn];
    auto it = current()->users.find(std::string(table) + "/" + user);
    if (it == current()->users.end()) return;
    tav_user_identity__alloc(ctx, it->second.name.c_str(), nullptr, ppIdentity);
    for (const auto &g : it->second.groups) QK_varray__append__string(ctx, (*ppIdentity)->groups, g.c_str());
    *ppPass = sqlite3_mprintf("%s", it->second.pass.c_str());
  }

  static void open(QK_context *ctx, const char *text, const char *database, QK_mssql_connection **pp) {
    std::string name = std::string(text) + (database ? std::string("|") + database : "");
    if (fail(ctx, "open " + name)) return;
    *pp = new QK_mssql_connection{};
    current()->connection_names[*pp] = name;
  }
  static void close(QK_context *, QK_mssql_connection **pp) {
    if (*pp == nullptr) return;
    current()->calls.push_back("close " + current()->connection_names[*pp]);
    current()->connection_names.erase(*pp);
    delete *pp;
    *pp = nullptr;
  }
  static void lookup_dbfile(QK_context *ctx, QK_mssql_connection *, const char *name, int *found, QK_int32 *version,
                            char **odbc, char **scheme) {
    if (fail(ctx, std::string("lookup_dbfile ") + name)) return;
    auto it = current()->registry_odbc.find(name);
    *found = it != current()->registry_odbc.end();
    if (version) *version = 17;
    if (odbc) *odbc = *found && !it->second.empty() ? QK_strdup_noctx(it->second.c_str()) : nullptr;
    if (scheme) *scheme = nullptr;
  }

  static tav_backend_ops ops() {
    tav_backend_ops o{};
    o.handle_alloc = handle_alloc;
    o.handle_free = handle_free;
    o.set_low_deadlock_priority = set_low_deadlock_priority;
    o.rollback_tx = rollback_tx;
    o.get_acl = get_acl;
    o.get_user_filters = get_user_filters;
    o.get_filter = get_filter;
    o.lookup_user = lookup_user;
    o.open = open;
    o.close = close;
    o.lookup_dbfile = lookup_dbfile;
    return o;
  }
};
