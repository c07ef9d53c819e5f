#include "dbfile.h"

#include <algorithm>
#include <stdexcept>
#include <strings.h>

#include "config_schema.h"
#include "translator.h"

namespace sqlserver_standin {

namespace {

std::string bracket(const std::string& name) {
    std::string s = "[";
    for (char c : name) s += c == ']' ? std::string("]]") : std::string(1, c);
    return s + "]";
}

std::string tsql_object(const std::string& dbfile, const std::string& kind) { return "tavrin." + bracket(dbfile + "$" + kind); }
std::string sqlite_object(const std::string& dbfile, const std::string& kind) { return quote_ident("tavrin." + dbfile + "$" + kind); }

std::string column_type(const ColumnInfo& c) {
    std::string t = c.type.text();
    if (!c.collation.empty()) t += " COLLATE " + c.collation;
    return t;
}

// Runs a batch inside one transaction: on failure nothing of it stays.
template <typename F>
void atomically(Session& s, F&& body) {
    s.execute_text("BEGIN TRANSACTION");
    try {
        s.lock_for_writing();
        body();
        s.execute_text("COMMIT TRANSACTION");
    } catch (...) {
        s.rollback_all();
        throw;
    }
}

std::string joined(const std::vector<std::string>& items, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? sep : "") + items[i];
    return out;
}

}  // namespace

void check_dbfile_name(const std::string& dbfile) {
    bool ok = !dbfile.empty() && dbfile.size() <= 255;
    for (char c : dbfile) ok = ok && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    if (!ok) throw std::invalid_argument("bad dbfile name '" + dbfile + "' (lowercase letters, digits and _, at most 255)");
}

void check_dbfile_exists(Session& s, const std::string& dbfile) {
    check_dbfile_name(dbfile);
    if (!s.catalog().find_table(ObjectName{"", "tavrin", dbfile + "$t$tx"}))
        throw std::invalid_argument("unknown dbfile '" + dbfile + "'");
}

void ensure_rules_tables(Session& s) {
    for (const auto& table : kRulesTables)
        if (!s.catalog().find_table(ObjectName{"", "tavrin", table.name})) s.execute_text(table.ddl);
}

void create_dbfile(Session& s, const std::string& dbfile) {
    check_dbfile_name(dbfile);
    if (s.catalog().find_table(ObjectName{"", "tavrin", dbfile + "$t$tx"}))
        throw std::invalid_argument("dbfile '" + dbfile + "' exists already");
    auto t = [&](const char* kind) { return tsql_object(dbfile, kind); };
    atomically(s, [&] {
        if (s.execute_text("SELECT 1 FROM sys.schemas WHERE name = N'tavrin'").results[0].rows.empty())
            s.execute_text("CREATE SCHEMA tavrin");
        ensure_rules_tables(s);
        s.execute_text(
            "CREATE TABLE " + t("t$tx") + " (txid bigint NOT NULL PRIMARY KEY, generation bigint NULL, rstamp uniqueidentifier NULL, rebaseid bigint NULL);\n"
            "CREATE TABLE " + t("t$gen") + " (generation bigint NOT NULL PRIMARY KEY, id bigint NOT NULL, ts datetime NOT NULL);\n"
            "CREATE INDEX GENDATE ON " + t("t$gen") + " (ts);\n"
            "CREATE TABLE " + t("t$t") + " (object_id int NOT NULL PRIMARY KEY, txid bigint NOT NULL, old_id int NULL, purged bigint NULL, fk_constraint_list_txid bigint NULL);\n"
            "CREATE TABLE " + t("t$c") + " (tbl int NOT NULL, col int NOT NULL, dump_txid bigint NULL, PRIMARY KEY (tbl, col));\n"
            "CREATE TABLE " + t("t$rules") + " (sit int NOT NULL, act int NULL, extra nvarchar(max) NULL, txid bigint NULL, i bigint NULL);\n"
            "CREATE TABLE " + t("t$f") + " (id bigint NOT NULL PRIMARY KEY, filter nvarchar(max) NOT NULL);\n"
            "CREATE TABLE " + t("t$uf") + " (scheme nvarchar(50) NULL, who nvarchar(255) NULL, filter bigint NOT NULL, priority int NOT NULL);\n"
            "CREATE TABLE " + t("t$a") + " (scheme nvarchar(50) NULL, who nvarchar(255) NULL, tbl_id int NULL, op nvarchar(50) NULL, result nvarchar(50) NULL);\n"
            "CREATE TABLE " + t("t$zu") + " (col nvarchar(128) NULL, tbl nvarchar(128) NULL, fn nvarchar(max) NULL, txid bigint NULL);\n"
            "CREATE TABLE " + t("t$ipklog") + " (fid bigint NOT NULL, tbl_id int NOT NULL, temp_ipk bigint NOT NULL, import_txid bigint NOT NULL, final_ipk bigint NOT NULL);\n"
            "CREATE TABLE " + t("t$props") + " (name nvarchar(128) NOT NULL PRIMARY KEY, value nvarchar(32) NULL);\n"
            "CREATE TABLE " + t("z$noop_updates") + " (txid bigint NOT NULL, tbl_id int NOT NULL, noop_count int NOT NULL);\n"
            "CREATE TABLE " + t("r$gen") + " (generation bigint NOT NULL, id bigint NOT NULL, predecessor bigint NULL);\n"
            "CREATE TABLE " + t("r$dump_rows") + " ([hash] char(40) NOT NULL PRIMARY KEY, [json] nvarchar(max) NULL);\n"
            "CREATE TABLE " + t("r$dump") + " ([username] nvarchar(100) NOT NULL, [table_id] int NOT NULL, [row] char(40) NOT NULL, "
            "[last_received] datetime NULL DEFAULT GETDATE(), PRIMARY KEY ([username], [table_id], [row]));\n");
        s.allocate_txid(dbfile);
    });
    // Generation 1 holds the first transaction, so a dbfile without tables can be pulled.
    s.execute_text("EXEC " + t("z$GetGen") + " @generation = 0");
}

namespace {

const char* const kTriggers[] = {"ins$", "upd$", "del$", "view_upd$"};

TableInfo find_host(Session& s, const std::string& table) {
    ObjectName name;
    size_t dot = table.find('.');
    name.schema = dot == std::string::npos ? "" : table.substr(0, dot);
    name.name = dot == std::string::npos ? table : table.substr(dot + 1);
    auto host = s.catalog().find_table(name);
    if (!host || host->temp || host->catalog_view || strcasecmp(host->schema.c_str(), "tavrin") == 0)
        throw std::invalid_argument("no host table '" + table + "'");
    return *host;
}

// The key a row is known by: the identity column, else the primary key.
std::vector<const ColumnInfo*> row_key(Session& s, const TableInfo& host) {
    std::vector<const ColumnInfo*> key;
    if (const ColumnInfo* id = host.identity()) key.push_back(id);
    else
        for (const auto& k : s.catalog().unique_keys(host))
            if (k.primary)
                for (const auto& c : k.columns) key.push_back(host.column(c));
    return key;
}

// The current-values view and the row-version triggers of a synchronised
// table whose prepared columns are `cols`; made again when a column is prepared.
void install_row_versions(Session& s, const std::string& dbfile, const TableInfo& host,
                          const std::vector<const ColumnInfo*>& key, const std::vector<const ColumnInfo*>& cols) {
    const std::string id = std::to_string(host.object_id);
    auto q = [&](const std::string& kind) { return sqlite_object(dbfile, kind + id); };
    std::vector<std::string> key_quoted, key_old, key_new, key_x, key_kept, col_names, old_vals, unchanged, set_from_new, view_items;
    for (const ColumnInfo* k : key) {
        key_quoted.push_back(quote_ident(k->name));
        key_old.push_back(quote_ident(k->name) + " = OLD." + quote_ident(k->name));
        key_new.push_back(quote_ident(k->name) + " = NEW." + quote_ident(k->name));
        key_x.push_back("x." + quote_ident(k->name) + " = h." + quote_ident(k->name));
        key_kept.push_back(quote_ident(k->name) + " IS NEW." + quote_ident(k->name) + " COLLATE BINARY");
    }
    for (const ColumnInfo* c : cols) {
        col_names.push_back(quote_ident(c->name));
        old_vals.push_back("OLD." + quote_ident(c->name));
    }
    std::vector<ColumnInfo> view_cols(1);
    view_cols[0].name = "z_rv";
    view_cols[0].type = make_type("bigint");
    view_cols[0].nullable = false;
    view_items.push_back("x.\"z_rv\" AS \"z_rv\"");
    for (const auto& c : host.columns) {
        // "No change" is byte for byte: a change of letter case is a change.
        unchanged.push_back("OLD." + quote_ident(c.name) + " IS NEW." + quote_ident(c.name) + " COLLATE BINARY");
        if (!c.identity) set_from_new.push_back(quote_ident(c.name) + " = NEW." + quote_ident(c.name));
        view_cols.push_back(c);
        view_items.push_back("h." + quote_ident(c.name) + " AS " + quote_ident(c.name));
    }
    const std::string same = joined(unchanged, " AND ");
    const std::string txid = "tsql_current_txid(" + quote_text(dbfile) + ")";
    const std::string rv = q("z$rv$"), x = q("z$x$"), old = q("z$old$"), dd = q("z$dd$");
    // The host row's current version, found by the host row rather than its
    // key: within one statement two rows may hold a key for a moment (a swap).
    const std::string hr = q("z$hr$");
    const std::string x_of_old = "(SELECT \"z_rv\" FROM " + hr + " WHERE \"host_row\" = OLD.rowid)";
    const std::string current = " FROM " + x + " AS x JOIN " + rv + " AS rv ON rv.\"z_rv\" = x.\"z_rv\" WHERE x.\"z_rv\" = " + x_of_old;
    const std::string pfx = "tavrin." + dbfile + "$z$";
    const std::string on = " ON " + host.sql_ref + " BEGIN\n";
    sqlite3* db = s.db();
    s.catalog().create_view("tavrin", dbfile + "$z$" + id, view_cols,
                            "SELECT " + joined(view_items, ", ") + " FROM " + host.sql_ref + " AS h JOIN " + x + " AS x ON " +
                                joined(key_x, " AND "));
    std::vector<std::string> new_key;
    for (const ColumnInfo* k : key) new_key.push_back("NEW." + quote_ident(k->name));
    // Insert: a first version with a new row id.
    exec_sql(db, "CREATE TRIGGER " + quote_ident(pfx + kTriggers[0] + id) + " AFTER INSERT" + on +
                     "  INSERT INTO " + rv + " (\"rid\", \"txid\") VALUES (tsql_newid(), " + txid + ");\n"
                     "  INSERT INTO " + x + " (\"z_rv\", " + joined(key_quoted, ", ") + ") SELECT MAX(\"z_rv\"), " + joined(new_key, ", ") +
                     " FROM " + rv + ";\n"
                     "  INSERT INTO " + hr + " (\"host_row\", \"z_rv\") SELECT NEW.rowid, MAX(\"z_rv\") FROM " + rv + ";\nEND");
    // Update: counted when nothing changed; otherwise a new version, unless
    // this transaction wrote the current one (one version per row and txid).
    // A lookup of the one version by its number ("+" keeps SQLite off the txid
    // index, which would visit every version this transaction ended, per row).
    const std::string changed_here =
        " AND EXISTS (SELECT 1 FROM " + dd + " WHERE \"rv\" = " + x_of_old + " AND +\"txid\" = " + txid + ");\n";
    exec_sql(db, "CREATE TRIGGER " + quote_ident(pfx + kTriggers[1] + id) + " AFTER UPDATE" + on +
                     "  UPDATE " + sqlite_object(dbfile, "z$noop_updates") + " SET \"noop_count\" = \"noop_count\" + 1 WHERE (" + same +
                     ") AND \"tbl_id\" = " + id + " AND \"txid\" = tsql_peek_txid(" + quote_text(dbfile) + ");\n"
                     "  INSERT INTO " + old + " (\"z_rv\", " + joined(col_names, ", ") + ") SELECT x.\"z_rv\", " + joined(old_vals, ", ") +
                     current + " AND NOT (" + same + ") AND rv.\"txid\" <> " + txid + ";\n"
                     "  INSERT INTO " + dd + " (\"rv\", \"txid\") SELECT x.\"z_rv\", " + txid + current + " AND NOT (" + same +
                     ") AND rv.\"txid\" <> " + txid + ";\n"
                     "  INSERT INTO " + rv + " (\"rid\", \"txid\") SELECT rv.\"rid\", " + txid + current + " AND NOT (" + same +
                     ") AND rv.\"txid\" <> " + txid + ";\n"
                     "  UPDATE " + x + " SET \"z_rv\" = (SELECT MAX(\"z_rv\") FROM " + rv + ") WHERE NOT (" + same + ") AND \"z_rv\" = " +
                     x_of_old + changed_here +
                     "  UPDATE " + hr + " SET \"z_rv\" = (SELECT MAX(\"z_rv\") FROM " + rv + ") WHERE NOT (" + same +
                     ") AND \"host_row\" = OLD.rowid" + changed_here +
                     "  UPDATE " + x + " SET " + joined(key_new, ", ") + " WHERE NOT (" + same + ") AND \"z_rv\" = " + x_of_old +
                     " AND NOT (" + joined(key_kept, " AND ") + ");\nEND");
    // Delete: the version ends; its values are kept.
    exec_sql(db, "CREATE TRIGGER " + quote_ident(pfx + kTriggers[2] + id) + " AFTER DELETE" + on +
                     "  INSERT INTO " + old + " (\"z_rv\", " + joined(col_names, ", ") + ") SELECT x.\"z_rv\", " + joined(old_vals, ", ") +
                     " FROM " + x + " AS x WHERE x.\"z_rv\" = " + x_of_old + ";\n"
                     "  INSERT INTO " + dd + " (\"rv\", \"txid\") SELECT x.\"z_rv\", " + txid + " FROM " + x + " AS x WHERE x.\"z_rv\" = " +
                     x_of_old + ";\n"
                     "  DELETE FROM " + x + " WHERE \"z_rv\" = " + x_of_old + ";\n"
                     "  DELETE FROM " + hr + " WHERE \"host_row\" = OLD.rowid;\nEND");
    // The push updates host rows through the current-values view.
    if (!set_from_new.empty())
        exec_sql(db, "CREATE TRIGGER " + quote_ident(pfx + kTriggers[3] + id) + " INSTEAD OF UPDATE ON " + q("z$") +
                         " BEGIN\n  UPDATE " + host.sql_ref + " SET " + joined(set_from_new, ", ") + " WHERE " +
                         joined(key_old, " AND ") + ";\nEND");
}

}  // namespace

int add_host_table(Session& s, const std::string& dbfile, const std::string& table,
                   const std::vector<std::string>& prepared) {
    check_dbfile_exists(s, dbfile);
    const TableInfo host = find_host(s, table);
    if (!s.execute_text("SELECT 1 FROM " + tsql_object(dbfile, "t$t") + " WHERE object_id = ?", {Value::integer(host.object_id)})
             .results[0].rows.empty())
        throw std::invalid_argument("table '" + table + "' is synchronised already");
    std::vector<const ColumnInfo*> key = row_key(s, host);
    if (key.empty()) throw std::invalid_argument("table '" + table + "' has neither a primary key nor an identity column");
    std::vector<const ColumnInfo*> cols;
    for (const auto& c : host.columns)
        if (prepared.empty() || std::any_of(prepared.begin(), prepared.end(),
                                            [&](const std::string& p) { return strcasecmp(p.c_str(), c.name.c_str()) == 0; }))
            cols.push_back(&c);
    for (const auto& p : prepared)
        if (!host.column(p)) throw std::invalid_argument("table '" + table + "' has no column '" + p + "'");
    for (const ColumnInfo* k : key)
        if (std::find(cols.begin(), cols.end(), k) == cols.end())
            throw std::invalid_argument("key column '" + k->name + "' must be synchronised");

    const std::string id = std::to_string(host.object_id);
    auto t = [&](const std::string& kind) { return tsql_object(dbfile, kind + id); };
    auto q = [&](const std::string& kind) { return sqlite_object(dbfile, kind + id); };
    std::vector<std::string> key_defs, key_names, keys_sql, col_defs, rec_defs;
    for (const ColumnInfo* k : key) {
        key_defs.push_back(bracket(k->name) + " " + column_type(*k) + " NOT NULL");
        key_names.push_back(bracket(k->name));
        keys_sql.push_back(quote_ident(k->name));
    }
    for (const ColumnInfo* c : cols) col_defs.push_back(bracket(c->name) + " " + column_type(*c) + " NULL");
    for (const auto& c : host.columns) rec_defs.push_back(bracket(c.name) + " bigint NULL");
    const std::string rv = q("z$rv$"), x = q("z$x$"), dd = q("z$dd$"), hr = q("z$hr$");

    atomically(s, [&] {
        s.execute_text(
            "CREATE TABLE " + t("z$rv$") + " (z_rv bigint IDENTITY(1,1) NOT NULL PRIMARY KEY, rid uniqueidentifier NOT NULL, txid bigint NOT NULL);\n"
            "CREATE INDEX rid_txid ON " + t("z$rv$") + " (rid, txid);\n"
            "CREATE INDEX txid ON " + t("z$rv$") + " (txid);\n"
            "CREATE TABLE " + t("z$x$") + " (z_rv bigint NOT NULL UNIQUE, " + joined(key_defs, ", ") + ", PRIMARY KEY (" + joined(key_names, ", ") + "));\n"
            "CREATE TABLE " + t("z$old$") + " (z_rv bigint NOT NULL PRIMARY KEY, " + joined(col_defs, ", ") + ");\n"
            "CREATE TABLE " + t("z$dd$") + " (rv bigint NOT NULL PRIMARY KEY, txid bigint NOT NULL);\n"
            "CREATE INDEX txid ON " + t("z$dd$") + " (txid);\n"
            "CREATE TABLE " + t("r$rv$") + " (z_rv bigint IDENTITY(1,1) NOT NULL PRIMARY KEY, rid uniqueidentifier NOT NULL, generation bigint NOT NULL, generation_id bigint NOT NULL);\n"
            "CREATE TABLE " + t("r$old$") + " (z_rv bigint NOT NULL PRIMARY KEY, " + joined(col_defs, ", ") + ");\n"
            "CREATE TABLE " + t("r$recovered$") + " (z_rv bigint NOT NULL PRIMARY KEY, " + joined(rec_defs, ", ") + ");\n");
        std::vector<ColumnInfo> deleted_cols(4);
        const char* names[] = {"z_rv", "rid", "add_txid", "del_txid"};
        for (int i = 0; i < 4; ++i) {
            deleted_cols[i].name = names[i];
            deleted_cols[i].type = make_type(i == 1 ? "uniqueidentifier" : "bigint");
        }
        s.catalog().create_view("tavrin", dbfile + "$z$deleted_rvs$" + id, deleted_cols,
                                "SELECT rv.\"z_rv\" AS \"z_rv\", rv.\"rid\" AS \"rid\", rv.\"txid\" AS \"add_txid\", dd.\"txid\" AS \"del_txid\" FROM " +
                                    rv + " AS rv JOIN " + dd + " AS dd ON dd.\"rv\" = rv.\"z_rv\"");
        sqlite3* db = s.db();
        exec_sql(db, "CREATE TABLE " + hr + " (\"host_row\" INTEGER PRIMARY KEY, \"z_rv\" INTEGER NOT NULL)");
        install_row_versions(s, dbfile, host, key, cols);
        // The rows the table holds already enter with the schema transaction.
        long long schema_txid = s.current_txid(dbfile);
        exec_sql(db, "CREATE TEMP TABLE \"z$existing\" AS SELECT rowid AS \"host_row\", " + joined(keys_sql, ", ") + " FROM " + host.sql_ref);
        exec_sql(db, "INSERT INTO " + rv + " (\"rid\", \"txid\") SELECT tsql_newid(), " + std::to_string(schema_txid) +
                         " FROM temp.\"z$existing\" ORDER BY rowid");
        std::vector<std::string> e_keys, e_match;
        for (const auto& k : keys_sql) {
            e_keys.push_back("e." + k);
            e_match.push_back("x." + k + " = e." + k);
        }
        exec_sql(db, "INSERT INTO " + x + " (\"z_rv\", " + joined(keys_sql, ", ") + ") SELECT (SELECT MAX(\"z_rv\") FROM " + rv +
                         ") - (SELECT COUNT(*) FROM temp.\"z$existing\") + e.rowid, " + joined(e_keys, ", ") + " FROM temp.\"z$existing\" AS e");
        exec_sql(db, "INSERT INTO " + hr + " (\"host_row\", \"z_rv\") SELECT e.\"host_row\", x.\"z_rv\" FROM temp.\"z$existing\" AS e JOIN " +
                         x + " AS x ON " + joined(e_match, " AND "));
        exec_sql(db, "DROP TABLE temp.\"z$existing\"");
        s.execute_text("INSERT INTO " + tsql_object(dbfile, "t$t") +
                           " (object_id, txid, old_id, purged, fk_constraint_list_txid) VALUES (?, ?, OBJECT_ID(?), NULL, ?)",
                       {Value::integer(host.object_id), Value::integer(schema_txid),
                        Value::text("tavrin." + bracket(dbfile + "$z$old$" + id)), Value::integer(schema_txid)});
    });
    return host.object_id;
}

void prepare_column(Session& s, const std::string& dbfile, const std::string& table, const std::string& column) {
    check_dbfile_exists(s, dbfile);
    const TableInfo host = find_host(s, table);
    const std::string id = std::to_string(host.object_id);
    if (s.execute_text("SELECT 1 FROM " + tsql_object(dbfile, "t$t") + " WHERE object_id = ?", {Value::integer(host.object_id)})
            .results[0].rows.empty())
        throw std::invalid_argument("table '" + table + "' is not synchronised");
    const ColumnInfo* col = host.column(column);
    if (!col) throw std::invalid_argument("table '" + table + "' has no column '" + column + "'");
    auto old = s.catalog().find_table(ObjectName{"", "tavrin", dbfile + "$z$old$" + id});
    if (old->column(col->name)) throw std::invalid_argument("column '" + col->name + "' is synchronised already");
    std::vector<const ColumnInfo*> cols;
    for (const auto& c : host.columns)
        if (old->column(c.name) || &c == col) cols.push_back(&c);
    auto recovered = s.catalog().find_table(ObjectName{"", "tavrin", dbfile + "$r$recovered$" + id});

    atomically(s, [&] {
        // A schema transaction: the table's schema changes and the column's values are dumped in it.
        long long txid = s.current_txid(dbfile);
        const std::string def = bracket(col->name) + " " + column_type(*col) + " NULL";
        s.execute_text("ALTER TABLE " + tsql_object(dbfile, "z$old$" + id) + " ADD " + def + ";\n"
                       "ALTER TABLE " + tsql_object(dbfile, "r$old$" + id) + " ADD " + def + ";\n" +
                       (recovered->column(col->name) ? std::string()
                                                     : "ALTER TABLE " + tsql_object(dbfile, "r$recovered$" + id) + " ADD " +
                                                           bracket(col->name) + " bigint NULL;\n") +
                       "UPDATE " + tsql_object(dbfile, "t$t") + " SET txid = ? WHERE object_id = ?;\n"
                       "DELETE FROM " + tsql_object(dbfile, "t$c") + " WHERE tbl = ? AND col = ?;\n"
                       "INSERT INTO " + tsql_object(dbfile, "t$c") + " (tbl, col, dump_txid) VALUES (?, ?, ?)",
                       {Value::integer(txid), Value::integer(host.object_id), Value::integer(host.object_id),
                        Value::integer(col->column_id), Value::integer(host.object_id), Value::integer(col->column_id),
                        Value::integer(txid)});
        for (const char* kind : kTriggers)
            exec_sql(s.db(), "DROP TRIGGER IF EXISTS " + quote_ident("tavrin." + dbfile + "$z$" + kind + id));
        s.catalog().drop_view("tavrin", dbfile + "$z$" + id);
        install_row_versions(s, dbfile, host, row_key(s, host), cols);
    });
}

void purge_history(Session& s, const std::string& dbfile, long long generation) {
    check_dbfile_exists(s, dbfile);
    if (generation < 1) throw std::invalid_argument("bad generation " + std::to_string(generation));
    Value g = Value::integer(generation);
    atomically(s, [&] {
        auto tables = s.execute_text("SELECT object_id FROM " + tsql_object(dbfile, "t$t")).results[0].rows;
        for (const auto& row : tables) {
            std::string id = std::to_string(row[0].i);
            std::string ended = "SELECT dd.rv FROM " + tsql_object(dbfile, "z$dd$" + id) + " dd INNER JOIN " +
                                tsql_object(dbfile, "t$tx") + " tx ON tx.txid = dd.txid WHERE tx.generation <= ?";
            s.execute_text("DELETE FROM " + tsql_object(dbfile, "z$old$" + id) + " WHERE z_rv IN (" + ended + ");\n"
                           "DELETE FROM " + tsql_object(dbfile, "z$rv$" + id) + " WHERE z_rv IN (" + ended + ");\n"
                           "DELETE FROM " + tsql_object(dbfile, "z$dd$" + id) + " WHERE rv NOT IN (SELECT z_rv FROM " +
                               tsql_object(dbfile, "z$rv$" + id) + ");\n"
                           "UPDATE " + tsql_object(dbfile, "t$t") + " SET purged = ? WHERE object_id = " + id,
                           {g, g, g});
        }
        s.execute_text("DELETE FROM " + tsql_object(dbfile, "t$props") + " WHERE name = N'purge_generation_at_history_purge';\n"
                       "INSERT INTO " + tsql_object(dbfile, "t$props") + " (name, value) VALUES (N'purge_generation_at_history_purge', CAST(? AS nvarchar(32)))",
                       {g});
    });
}

}  // namespace sqlserver_standin
