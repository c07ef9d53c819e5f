#include "catalog.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <set>
#include <strings.h>

#include "database_file.h"
#include "translator.h"
#include "tsql_error.h"
#include "tsql_parser.h"

namespace sqlserver_standin {

namespace {

const char* const kCatalogDdl = R"(
CREATE TABLE "sys$meta" (key TEXT PRIMARY KEY, value INTEGER);
INSERT INTO "sys$meta" VALUES ('next_object_id', 565577053);
CREATE TABLE "sys.schemas" (name TEXT_sysname COLLATE TSQL_CI, schema_id INT_int PRIMARY KEY, principal_id INT_int);
INSERT INTO "sys.schemas" VALUES ('dbo', 1, 1), ('guest', 2, 2), ('INFORMATION_SCHEMA', 3, 3), ('sys', 4, 4);
CREATE TABLE "sys.objects" (name TEXT_sysname COLLATE TSQL_CI, object_id INT_int PRIMARY KEY, principal_id INT_int,
  schema_id INT_int, parent_object_id INT_int, type TEXT_char(2) COLLATE TSQL_CI, type_desc TEXT_nvarchar(60),
  create_date TEXT_datetime, is_ms_shipped INT_bit);
CREATE VIEW "sys.tables" AS SELECT name, object_id, principal_id, schema_id, parent_object_id, type, type_desc,
  create_date, is_ms_shipped FROM "sys.objects" WHERE type = 'U';
CREATE TABLE "sys.columns" (object_id INT_int, name TEXT_sysname COLLATE TSQL_CI, column_id INT_int,
  system_type_id INT_tinyint, user_type_id INT_int, max_length INT_smallint, precision INT_tinyint, scale INT_tinyint,
  collation_name TEXT_sysname, is_nullable INT_bit, is_identity INT_bit, is_computed INT_bit,
  default_object_id INT_int, PRIMARY KEY (object_id, column_id));
CREATE TABLE "sys.types" (name TEXT_sysname COLLATE TSQL_CI, system_type_id INT_tinyint, user_type_id INT_int,
  schema_id INT_int, max_length INT_smallint, precision INT_tinyint, scale INT_tinyint, collation_name TEXT_sysname,
  is_nullable INT_bit, is_user_defined INT_bit);
CREATE TABLE "sys.default_constraints" (name TEXT_sysname COLLATE TSQL_CI, object_id INT_int PRIMARY KEY,
  schema_id INT_int, parent_object_id INT_int, type TEXT_char(2), parent_column_id INT_int,
  definition TEXT_nvarchar(-1));
CREATE TABLE "sys.check_constraints" (name TEXT_sysname COLLATE TSQL_CI, object_id INT_int PRIMARY KEY,
  schema_id INT_int, parent_object_id INT_int, type TEXT_char(2), is_disabled INT_bit, parent_column_id INT_int,
  definition TEXT_nvarchar(-1));
CREATE TABLE "sys.key_constraints" (name TEXT_sysname COLLATE TSQL_CI, object_id INT_int PRIMARY KEY,
  schema_id INT_int, parent_object_id INT_int, type TEXT_char(2), unique_index_id INT_int);
CREATE TABLE "sys.indexes" (object_id INT_int, name TEXT_sysname COLLATE TSQL_CI, index_id INT_int, type INT_tinyint,
  type_desc TEXT_nvarchar(60), is_unique INT_bit, is_primary_key INT_bit, is_unique_constraint INT_bit,
  ignore_dup_key INT_bit, has_filter INT_bit, is_disabled INT_bit, is_hypothetical INT_bit,
  PRIMARY KEY (object_id, index_id));
CREATE TABLE "sys.index_columns" (object_id INT_int, index_id INT_int, index_column_id INT_int, column_id INT_int,
  key_ordinal INT_tinyint, is_descending_key INT_bit, is_included_column INT_bit);
CREATE TABLE "sys.foreign_keys" (name TEXT_sysname COLLATE TSQL_CI, object_id INT_int PRIMARY KEY, schema_id INT_int,
  parent_object_id INT_int, type TEXT_char(2), referenced_object_id INT_int, key_index_id INT_int,
  is_disabled INT_bit, is_not_trusted INT_bit, delete_referential_action INT_tinyint,
  delete_referential_action_desc TEXT_nvarchar(60), update_referential_action INT_tinyint,
  update_referential_action_desc TEXT_nvarchar(60));
CREATE TABLE "sys.foreign_key_columns" (constraint_object_id INT_int, constraint_column_id INT_int,
  parent_object_id INT_int, parent_column_id INT_int, referenced_object_id INT_int, referenced_column_id INT_int);
CREATE TABLE "sys$identity" (object_id INTEGER PRIMARY KEY, seed INTEGER, increment INTEGER, last_value INTEGER);
)";

const char* const kCatalogViews[] = {"schemas", "objects", "tables", "columns", "types", "default_constraints",
                                     "check_constraints", "key_constraints", "indexes", "index_columns",
                                     "foreign_keys", "foreign_key_columns"};

const char* const kActionDesc[] = {"NO_ACTION", "CASCADE", "SET_NULL", "SET_DEFAULT"};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A prepared statement with positional binding, finalised on scope exit.
class Query {
public:
    Query(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK) fail();
    }
    // A statement taken from the connection's cache (when there is one) and handed back.
    Query(sqlite3* db, StatementCache* cache, const std::string& sql) : db_(db), cache_(cache), sql_(sql) {
        if (!cache_) {
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK) fail();
        } else if (cache_->prepare(sql_, &st_, &reads_) != SQLITE_OK) {
            sqlite3_finalize(st_);
            st_ = nullptr;
            fail();
        }
    }
    ~Query() {
        if (cache_) cache_->release(sql_, st_, std::move(reads_));
        else sqlite3_finalize(st_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    Query& bind(int i, long long v) { sqlite3_bind_int64(st_, i, v); return *this; }
    Query& bind(int i, const std::string& v) { sqlite3_bind_text(st_, i, v.c_str(), -1, SQLITE_TRANSIENT); return *this; }
    Query& bind_null(int i) { sqlite3_bind_null(st_, i); return *this; }
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) throw TsqlError(50000, "HY000", std::string("catalog: ") + sqlite3_errmsg(db_));
        return false;
    }
    long long i64(int c) const { return sqlite3_column_int64(st_, c); }
    std::string text(int c) const {
        const unsigned char* t = sqlite3_column_text(st_, c);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
    bool null(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }

private:
    [[noreturn]] void fail() const { throw TsqlError(50000, "HY000", std::string("catalog: ") + sqlite3_errmsg(db_)); }

    sqlite3* db_;
    StatementCache* cache_ = nullptr;
    std::string sql_;
    std::shared_ptr<const TableSet> reads_;
    sqlite3_stmt* st_ = nullptr;
};

TsqlType type_from_catalog(const std::string& type_name, int max_length, int precision, int scale) {
    std::string n = lower(type_name);
    if (n == "nchar" || n == "nvarchar") return make_type(n, max_length < 0 ? -1 : max_length / 2);
    if (n == "char" || n == "varchar" || n == "binary" || n == "varbinary") return make_type(n, max_length);
    if (n == "decimal" || n == "numeric") return make_type(n, precision, scale);
    if (n == "time" || n == "datetime2") return make_type(n, scale);
    return make_type(n);
}

std::string hex_suffix(int id) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016X", static_cast<unsigned>(id) * 2654435761u);
    return buf;
}

}  // namespace

void exec_sql(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw TsqlError(50000, "HY000", msg);
    }
}

std::vector<std::string> catalog_view_names() { return {std::begin(kCatalogViews), std::end(kCatalogViews)}; }

const ColumnInfo* TableInfo::column(const std::string& n) const {
    for (const auto& c : columns)
        if (iequals(c.name, n)) return &c;
    return nullptr;
}

const ColumnInfo* TableInfo::identity() const {
    for (const auto& c : columns)
        if (c.identity) return &c;
    return nullptr;
}

void Catalog::initialise(sqlite3* db) {
    exec_sql(db, kCatalogDdl);
    static const char* const names[] = {"uniqueidentifier", "date", "time", "datetime2", "tinyint", "smallint", "int",
                                        "smalldatetime", "real", "money", "datetime", "float", "bit", "decimal",
                                        "numeric", "smallmoney", "bigint", "varbinary", "varchar", "binary", "char",
                                        "nvarchar", "nchar", "sysname", "text", "ntext"};
    for (const char* n : names) {
        TsqlType t = make_type(n, -2, -2);
        bool sized = (t.is_text() || t.is_binary()) && t.length >= 0;
        int user_type_id = std::string(n) == "sysname" ? 256 : t.system_type_id();
        int max_length = sized && std::string(n) != "sysname" ? 8000 : t.max_length();
        std::string coll = t.is_text() ? std::string("'") + kDefaultCollation + "'" : "NULL";
        exec_sql(db, "INSERT INTO \"sys.types\" VALUES ('" + std::string(n) + "'," + std::to_string(t.system_type_id()) +
                         "," + std::to_string(user_type_id) + ",4," + std::to_string(max_length) + "," +
                         std::to_string(t.catalog_precision()) + "," + std::to_string(t.catalog_scale()) + "," + coll +
                         ",1,0)");
    }
}

int Catalog::new_object_id() {
    Query q(db_, "UPDATE \"sys$meta\" SET value = value + 7919 WHERE key = 'next_object_id' RETURNING value - 7919");
    q.step();
    return static_cast<int>(q.i64(0));
}

std::optional<int> Catalog::schema_id(const std::string& name) const {
    Query q(db_, "SELECT schema_id FROM \"sys.schemas\" WHERE name = ?");
    q.bind(1, name);
    if (q.step()) return static_cast<int>(q.i64(0));
    return std::nullopt;
}

void Catalog::temp_tables_changed() {
    static std::atomic<unsigned long long> last{0};
    temp_generation_ = ++last;
}

Catalog::~Catalog() {
    sqlite3_finalize(version_query_);
    sqlite3_finalize(temp_version_query_);
}

namespace {

int read_version(sqlite3* db, const char* pragma, sqlite3_stmt*& query) {
    if (!query && sqlite3_prepare_v2(db, pragma, -1, &query, nullptr) != SQLITE_OK) return -1;
    int version = sqlite3_step(query) == SQLITE_ROW ? static_cast<int>(sqlite3_column_int64(query, 0)) : -1;
    sqlite3_reset(query);
    return version;
}

}  // namespace

void Catalog::next_statement() {
    if (!version_pinned_ || !epoch_ || sqlite3_get_autocommit(db_) || sqlite3_txn_state(db_, "main") == SQLITE_TXN_NONE)
        version_ = -1;
}

int Catalog::schema_version() const {
    if (version_ >= 0 && epoch_ && *epoch_ != version_epoch_) version_ = -1;
    if (version_ < 0) {
        version_ = read_version(db_, "PRAGMA schema_version", version_query_);
        version_epoch_ = epoch_ ? *epoch_ : 0;
        // Read inside an open transaction, the version is its snapshot's: only this
        // connection's DDL (or the transaction's end) moves it on, and that moves the epoch.
        version_pinned_ = version_ >= 0 && !sqlite3_get_autocommit(db_) && sqlite3_txn_state(db_, "main") != SQLITE_TXN_NONE;
    }
    return version_;
}

void Catalog::watch_schema(StatementCache& statements) {
    epoch_ = statements.schema_epoch();
    statements_ = &statements;
}

std::pair<int, int> Catalog::schema_versions() const {
    // No other connection sees this one's #temp tables: their version moves only with its own DDL.
    if (temp_version_ < 0 || !epoch_ || *epoch_ != temp_version_epoch_) {
        temp_version_ =
            read_version(db_, ("PRAGMA " + std::string(kTempSchema) + ".schema_version").c_str(), temp_version_query_);
        temp_version_epoch_ = epoch_ ? *epoch_ : 0;
    }
    return {schema_version(), temp_version_};
}

template <typename Key, typename Fact, typename Compute>
Fact Catalog::remember(std::map<Key, Fact> CatalogCache::Facts::*facts, const Key& key, Compute compute) const {
    const int version = shared_ && !changed_ ? schema_version() : -1;
    if (version >= 0) {
        std::optional<Fact> hit;
        shared_->with(version, [&](CatalogCache::Facts& f) {
            auto it = (f.*facts).find(key);
            if (it != (f.*facts).end()) hit = it->second;
        });
        if (hit) return *hit;
    }
    Fact fact = compute();
    if (version >= 0) shared_->with(version, [&](CatalogCache::Facts& f) { (f.*facts).emplace(key, fact); });
    return fact;
}

std::optional<TableInfo> Catalog::find_table(const ObjectName& n) const {
    if (!n.database.empty() && !iequals(n.database, database_) && !(n.temp() && iequals(n.database, "tempdb")))
        return std::nullopt;
    if (n.temp()) {
        auto it = temp_tables_.find(lower(n.name));
        if (it == temp_tables_.end()) return std::nullopt;
        return it->second.info;
    }
    std::string schema = n.schema.empty() ? default_schema_ : n.schema;
    return remember(&CatalogCache::Facts::tables, lower(schema + "." + n.name), [&] { return load_table(n, schema); });
}

std::optional<TableInfo> Catalog::load_table(const ObjectName& n, const std::string& schema) const {
    if (iequals(schema, "sys")) {
        for (const char* v : kCatalogViews) {
            if (!iequals(n.name, v)) continue;
            TableInfo t;
            t.schema = "sys";
            t.name = v;
            t.catalog_view = true;
            t.sql_ref = quote_ident(std::string("sys.") + v);
            Query q(db_, "SELECT name, type FROM pragma_table_info(?)");
            q.bind(1, std::string("sys.") + v);
            int id = 0;
            while (q.step()) {
                ColumnInfo c;
                c.column_id = ++id;
                c.name = q.text(0);
                if (auto ty = type_from_text(q.text(1))) c.type = *ty;
                t.columns.push_back(c);
            }
            return t;
        }
        return std::nullopt;
    }
    Query q(db_,
            "SELECT o.object_id, s.name, o.name, o.type FROM \"sys.objects\" o JOIN \"sys.schemas\" s ON s.schema_id = "
            "o.schema_id WHERE o.type IN ('U', 'V') AND s.name = ? AND o.name = ?");
    q.bind(1, schema).bind(2, n.name);
    if (!q.step()) return std::nullopt;
    TableInfo t;
    t.object_id = static_cast<int>(q.i64(0));
    t.schema = q.text(1);
    t.name = q.text(2);
    t.view = q.text(3) == "V";
    t.sql_ref = quote_ident(t.schema + "." + t.name);
    Query c(db_,
            "SELECT c.column_id, c.name, ty.name, c.max_length, c.precision, c.scale, c.collation_name, c.is_nullable, "
            "c.is_identity FROM \"sys.columns\" c JOIN \"sys.types\" ty ON ty.user_type_id = c.user_type_id "
            "WHERE c.object_id = ? ORDER BY c.column_id");
    c.bind(1, t.object_id);
    while (c.step()) {
        ColumnInfo col;
        col.column_id = static_cast<int>(c.i64(0));
        col.name = c.text(1);
        col.type = type_from_catalog(c.text(2), static_cast<int>(c.i64(3)), static_cast<int>(c.i64(4)),
                                     static_cast<int>(c.i64(5)));
        col.collation = c.text(6);
        col.nullable = c.i64(7) != 0;
        col.identity = c.i64(8) != 0;
        t.columns.push_back(col);
    }
    return t;
}

std::vector<KeyInfo> Catalog::unique_keys(const TableInfo& t) const {
    if (t.temp) {
        auto it = temp_tables_.find(lower(t.name));
        return it == temp_tables_.end() ? std::vector<KeyInfo>{} : it->second.keys;
    }
    return remember(&CatalogCache::Facts::unique_keys, t.object_id, [&] { return load_unique_keys(t); });
}

std::vector<KeyInfo> Catalog::load_unique_keys(const TableInfo& t) const {
    std::vector<KeyInfo> keys;
    Query q(db_,
            "SELECT i.index_id, i.name, i.is_primary_key, i.is_primary_key OR i.is_unique_constraint, c.name "
            "FROM \"sys.indexes\" i JOIN \"sys.index_columns\" ic ON ic.object_id = i.object_id AND ic.index_id = "
            "i.index_id JOIN \"sys.columns\" c ON c.object_id = ic.object_id AND c.column_id = ic.column_id "
            "WHERE i.object_id = ? AND i.is_unique = 1 ORDER BY i.index_id, ic.key_ordinal");
    q.bind(1, t.object_id);
    long long last = -1;
    while (q.step()) {
        if (q.i64(0) != last) {
            last = q.i64(0);
            keys.push_back({q.text(1), q.i64(2) != 0, q.i64(3) != 0, {}});
        }
        keys.back().columns.push_back(q.text(4));
    }
    return keys;
}

namespace {

std::vector<ForeignKeyInfo> load_foreign_keys(sqlite3* db, const char* where, int object_id) {
    std::vector<ForeignKeyInfo> out;
    Query q(db, std::string("SELECT f.object_id, f.name, ps.name || '.' || po.name, rs.name || '.' || ro.name, "
                            "pc.name, rc.name, f.delete_referential_action, f.update_referential_action "
                            "FROM \"sys.foreign_keys\" f "
                            "JOIN \"sys.foreign_key_columns\" k ON k.constraint_object_id = f.object_id "
                            "JOIN \"sys.objects\" po ON po.object_id = f.parent_object_id "
                            "JOIN \"sys.schemas\" ps ON ps.schema_id = po.schema_id "
                            "JOIN \"sys.objects\" ro ON ro.object_id = f.referenced_object_id "
                            "JOIN \"sys.schemas\" rs ON rs.schema_id = ro.schema_id "
                            "JOIN \"sys.columns\" pc ON pc.object_id = k.parent_object_id AND pc.column_id = k.parent_column_id "
                            "JOIN \"sys.columns\" rc ON rc.object_id = k.referenced_object_id AND rc.column_id = k.referenced_column_id "
                            "WHERE ") + where + " = ? ORDER BY f.object_id, k.constraint_column_id");
    q.bind(1, object_id);
    long long last = -1;
    while (q.step()) {
        if (q.i64(0) != last) {
            last = q.i64(0);
            ForeignKeyInfo f;
            f.name = q.text(1);
            f.parent_table = q.text(2);
            f.referenced_table = q.text(3);
            f.on_delete = static_cast<int>(q.i64(6));
            f.on_update = static_cast<int>(q.i64(7));
            out.push_back(f);
        }
        out.back().columns.push_back(q.text(4));
        out.back().ref_columns.push_back(q.text(5));
    }
    return out;
}

}  // namespace

std::vector<ForeignKeyInfo> Catalog::foreign_keys(const TableInfo& t) const {
    if (t.temp) return {};
    return remember(&CatalogCache::Facts::foreign_keys, t.object_id,
                    [&] { return load_foreign_keys(db_, "f.parent_object_id", t.object_id); });
}

std::vector<ForeignKeyInfo> Catalog::referencing_keys(const TableInfo& t) const {
    if (t.temp) return {};
    return remember(&CatalogCache::Facts::referencing_keys, t.object_id,
                    [&] { return load_foreign_keys(db_, "f.referenced_object_id", t.object_id); });
}

void Catalog::create_schema(const std::string& name) {
    changed_ = true;
    if (schema_id(name))
        throw TsqlError(2714, "42S01", "There is already an object named '" + name + "' in the database.");
    Query q(db_, "INSERT INTO \"sys.schemas\" VALUES (?, (SELECT MAX(schema_id) + 1 FROM \"sys.schemas\" WHERE "
                 "schema_id < 16384), 1)");
    q.bind(1, name);
    q.step();
}

namespace {

std::string column_sql(const ColumnInfo& c) {
    std::string coll = c.type.sqlite_collation(c.collation);
    return quote_ident(c.name) + " " + c.type.sqlite_decl() + (coll != "BINARY" ? " COLLATE " + coll : "");
}

std::string action_trigger_name(int child_id, const std::string& fk, bool on_delete) {
    return quote_ident(std::to_string(child_id) + "$fk$" + fk + (on_delete ? "$delete" : "$update"));
}

// A referential action (CASCADE, SET NULL, SET DEFAULT) as a trigger on the
// referenced table; NO ACTION is checked at the end of each statement.
std::string action_trigger(const std::string& fk, bool on_delete, int action, const TableInfo& child,
                           const std::vector<std::string>& cols, const TableInfo& parent,
                           const std::vector<std::string>& ref_cols, const std::vector<ColumnDef>& child_defs,
                           Translator& tr) {
    std::string match, unchanged, set;
    for (size_t k = 0; k < cols.size(); ++k) {
        const ColumnInfo* c = child.column(cols[k]);
        std::string ref = quote_ident(parent.column(ref_cols[k])->name);
        match += (k ? " AND " : "") + quote_ident(c->name) + " = OLD." + ref;
        unchanged += (k ? " AND " : "") + std::string("OLD.") + ref + " IS NEW." + ref + " COLLATE BINARY";
        std::string value = "NULL";
        if (action == 1 && !on_delete) value = "NEW." + ref;
        if (action == 3)
            for (const auto& d : child_defs)
                if (iequals(d.name, c->name) && d.default_value)
                    value = "tsql_store(" + tr.table_expr(*d.default_value, nullptr, &c->type) + "," +
                            quote_text(c->type.text()) + "," + quote_text(c->name) + ")";
        set += (k ? ", " : "") + quote_ident(c->name) + " = " + value;
    }
    std::string sql = "CREATE TRIGGER " + action_trigger_name(child.object_id, fk, on_delete) +
                      (on_delete ? " AFTER DELETE ON " : " AFTER UPDATE ON ") + parent.sql_ref;
    if (!on_delete) sql += " WHEN NOT (" + unchanged + ")";
    sql += " BEGIN ";
    sql += action == 1 && on_delete ? "DELETE FROM " + child.sql_ref : "UPDATE " + child.sql_ref + " SET " + set;
    return sql + " WHERE " + match + "; END";
}

}  // namespace

void Catalog::create_table(const Statement& st) {
    const ObjectName& n = st.target;
    bool temp = n.temp();
    TableInfo t;
    t.temp = temp;
    t.name = n.name;
    int sid = 0;
    if (temp) {
        if (temp_tables_.count(lower(n.name)))
            throw TsqlError(2714, "42S01", "There is already an object named '" + n.name + "' in the database.");
        t.sql_ref = std::string(kTempSchema) + "." + quote_ident(n.name);
    } else {
        t.schema = n.schema.empty() ? default_schema_ : n.schema;
        auto s = schema_id(t.schema);
        if (!s || iequals(t.schema, "sys"))
            throw TsqlError(2760, "42000",
                            "The specified schema name \"" + t.schema +
                                "\" either does not exist or you do not have permission to use it.");
        sid = *s;
        if (find_table(n) || object_id(t.schema + "." + n.name, ""))
            throw TsqlError(2714, "42S01", "There is already an object named '" + n.name + "' in the database.");
        changed_ = true;
        t.object_id = new_object_id();
        t.sql_ref = quote_ident(t.schema + "." + t.name);
    }
    if (st.column_defs.empty()) throw syntax_error(")");

    std::set<std::string> pk_columns;
    for (const auto& c : st.constraints)
        if (c.kind == ConstraintKind::PrimaryKey)
            for (const auto& col : c.columns) pk_columns.insert(lower(col));
    int identities = 0;
    for (const auto& d : st.column_defs) {
        if (t.column(d.name))
            throw TsqlError(2705, "42S21",
                            "Column names in each table must be unique. Column name '" + d.name +
                                "' in table '" + n.name + "' is specified more than once.");
        ColumnInfo c;
        c.column_id = static_cast<int>(t.columns.size()) + 1;
        c.name = d.name;
        c.type = d.type;
        c.collation = d.type.is_text() ? (d.collation.empty() ? kDefaultCollation : d.collation) : "";
        c.identity = d.identity;
        c.nullable = !(d.identity || pk_columns.count(lower(d.name)) || (d.nullable && !*d.nullable));
        if (d.identity && ++identities > 1)
            throw TsqlError(2744, "42000", "Multiple identity columns specified for table '" + n.name +
                                               "'. Only one identity column per table is allowed.");
        if (d.identity && !d.type.is_integer() && !(d.type.is_exact_numeric() && d.type.scale == 0))
            throw TsqlError(2749, "42000", "Identity column '" + d.name +
                                               "' must be of data type int, bigint, smallint, tinyint, or decimal or numeric with a scale of 0, and constrained to be nonnullable.");
        t.columns.push_back(c);
    }

    Translator tr(*this);
    std::string ddl = "CREATE TABLE " + (temp ? std::string(kTempSchema) + "." : std::string()) + quote_ident(n.name.empty() ? "" : (temp ? n.name : t.schema + "." + t.name)) + " (";
    std::vector<std::string> catalog_sql;
    auto add_object = [&](int id, const std::string& name, int parent, const char* type, const char* desc) {
        Query q(db_, "INSERT INTO \"sys.objects\" VALUES (?, ?, NULL, ?, ?, ?, ?, datetime('now'), 0)");
        q.bind(1, name).bind(2, id).bind(3, sid).bind(4, parent).bind(5, type).bind(6, desc);
        q.step();
    };
    if (!temp) add_object(t.object_id, t.name, 0, "U", "USER_TABLE");

    for (size_t i = 0; i < st.column_defs.size(); ++i) {
        const ColumnDef& d = st.column_defs[i];
        const ColumnInfo& c = t.columns[i];
        ddl += (i ? ", " : "") + column_sql(c);
        if (!c.nullable) ddl += " NOT NULL";
        int default_id = 0;
        if (d.identity) {
            if (!temp) {
                Query q(db_, "INSERT INTO \"sys$identity\" VALUES (?, ?, ?, NULL)");
                q.bind(1, t.object_id).bind(2, d.identity_seed).bind(3, d.identity_increment);
                q.step();
                ddl += " DEFAULT (tsql_identity(" + std::to_string(t.object_id) + "))";
            } else {
                ddl += " DEFAULT (tsql_temp_identity(" + quote_text(lower(n.name)) + "," +
                       std::to_string(d.identity_seed) + "," + std::to_string(d.identity_increment) + "))";
            }
        } else if (d.default_value) {
            std::string value = tr.table_expr(*d.default_value, nullptr, &c.type);
            ddl += " DEFAULT (tsql_store(" + value + "," + quote_text(c.type.text()) + "," + quote_text(c.name) + "))";
            if (!temp) {
                default_id = new_object_id();
                std::string name = d.default_name.empty() ? "DF__" + t.name + "__" + c.name + "__" + hex_suffix(default_id)
                                                          : d.default_name;
                add_object(default_id, name, t.object_id, "D", "DEFAULT_CONSTRAINT");
                Query q(db_, "INSERT INTO \"sys.default_constraints\" VALUES (?, ?, ?, ?, 'D', ?, ?)");
                q.bind(1, name).bind(2, default_id).bind(3, sid).bind(4, t.object_id).bind(5, c.column_id)
                    .bind(6, stored_definition(*d.default_value));
                q.step();
            }
        }
        if (!temp) add_column_row(t.object_id, c, default_id);
    }

    std::vector<KeyInfo> keys;
    std::vector<std::string> checks;
    std::vector<std::string> after_ddl;
    bool has_pk = false;
    int next_index = 2;
    for (const auto& c : st.constraints) {
        for (const auto& col : c.columns)
            if (!t.column(col))
                throw TsqlError(1911, "42000", "Column name '" + col + "' does not exist in the target table or view.");
        int cid = temp ? 0 : new_object_id();
        std::string cols_sql;
        for (size_t k = 0; k < c.columns.size(); ++k) cols_sql += (k ? "," : "") + quote_ident(t.column(c.columns[k])->name);
        std::string name = c.name;
        switch (c.kind) {
            case ConstraintKind::PrimaryKey:
            case ConstraintKind::Unique: {
                bool pk = c.kind == ConstraintKind::PrimaryKey;
                if (pk && has_pk)
                    throw TsqlError(8110, "42000", "Cannot add multiple PRIMARY KEY constraints to table '" + n.name + "'.");
                has_pk = has_pk || pk;
                if (name.empty()) name = std::string(pk ? "PK__" : "UQ__") + t.name + "__" + hex_suffix(cid ? cid : static_cast<int>(keys.size()) + 1);
                // Keys are checked once at the end of each statement (as SQL Server
                // does), so SQLite keeps only a plain index for the lookups.
                after_ddl.push_back("CREATE INDEX " + (temp ? std::string(kTempSchema) + "." : std::string()) +
                                    quote_ident((temp ? lower(n.name) : std::to_string(t.object_id)) + "$" + name) +
                                    " ON " + quote_ident(temp ? n.name : t.schema + "." + t.name) + " (" + cols_sql + ")");
                KeyInfo key{name, pk, true, {}};
                for (const auto& col : c.columns) key.columns.push_back(t.column(col)->name);
                keys.push_back(key);
                if (temp) break;
                int index_id = pk ? 1 : next_index++;
                add_object(cid, name, t.object_id, pk ? "PK" : "UQ", pk ? "PRIMARY_KEY_CONSTRAINT" : "UNIQUE_CONSTRAINT");
                Query k(db_, "INSERT INTO \"sys.key_constraints\" VALUES (?, ?, ?, ?, ?, ?)");
                k.bind(1, name).bind(2, cid).bind(3, sid).bind(4, t.object_id).bind(5, pk ? "PK" : "UQ").bind(6, index_id);
                k.step();
                Query ix(db_, "INSERT INTO \"sys.indexes\" VALUES (?, ?, ?, ?, ?, 1, ?, ?, 0, 0, 0, 0)");
                ix.bind(1, t.object_id).bind(2, name).bind(3, index_id).bind(4, pk ? 1 : 2)
                    .bind(5, pk ? "CLUSTERED" : "NONCLUSTERED").bind(6, pk ? 1 : 0).bind(7, pk ? 0 : 1);
                ix.step();
                for (size_t k2 = 0; k2 < c.columns.size(); ++k2) {
                    Query icq(db_, "INSERT INTO \"sys.index_columns\" VALUES (?, ?, ?, ?, ?, ?, 0)");
                    icq.bind(1, t.object_id).bind(2, index_id).bind(3, static_cast<long long>(k2 + 1))
                        .bind(4, t.column(c.columns[k2])->column_id).bind(5, static_cast<long long>(k2 + 1))
                        .bind(6, k2 < c.descending.size() && c.descending[k2] ? 1 : 0);
                    icq.step();
                }
                break;
            }
            case ConstraintKind::ForeignKey: {
                if (temp) break;  // SQL Server skips foreign keys on temp tables
                bool self = c.ref_table.name == n.name && (c.ref_table.schema.empty() || iequals(c.ref_table.schema, t.schema));
                std::optional<TableInfo> ref = self ? std::optional<TableInfo>(t) : find_table(c.ref_table);
                if (name.empty()) name = "FK__" + t.name + "__" + c.columns[0] + "__" + hex_suffix(cid);
                if (!ref)
                    throw TsqlError(1767, "42000", "Foreign key '" + name + "' references invalid table '" +
                                                       c.ref_table.name + "'.");
                std::vector<std::string> ref_cols = c.ref_columns;
                std::vector<KeyInfo> ref_keys = self ? keys : unique_keys(*ref);
                if (ref_cols.empty())
                    for (const auto& k : ref_keys)
                        if (k.primary) ref_cols = k.columns;
                bool matched = false;
                for (const auto& k : ref_keys) {
                    if (k.columns.size() != ref_cols.size()) continue;
                    bool all = true;
                    for (const auto& rc : ref_cols)
                        all = all && std::any_of(k.columns.begin(), k.columns.end(),
                                                 [&](const std::string& x) { return iequals(x, rc); });
                    matched = matched || all;
                }
                if (!matched || ref_cols.size() != c.columns.size())
                    throw TsqlError(1776, "42000", "There are no primary or candidate keys in the referenced table '" +
                                                       ref->display_name() +
                                                       "' that match the referencing column list in the foreign key '" +
                                                       name + "'.");
                for (bool on_delete : {true, false}) {
                    int action = on_delete ? c.on_delete : c.on_update;
                    if (action != 0)
                        after_ddl.push_back(action_trigger(name, on_delete, action, t, c.columns, *ref, ref_cols,
                                                           st.column_defs, tr));
                }
                add_object(cid, name, t.object_id, "F", "FOREIGN_KEY_CONSTRAINT");
                Query f(db_, "INSERT INTO \"sys.foreign_keys\" VALUES (?, ?, ?, ?, 'F', ?, 1, 0, 0, ?, ?, ?, ?)");
                f.bind(1, name).bind(2, cid).bind(3, sid).bind(4, t.object_id).bind(5, ref->object_id)
                    .bind(6, c.on_delete).bind(7, kActionDesc[c.on_delete]).bind(8, c.on_update)
                    .bind(9, kActionDesc[c.on_update]);
                f.step();
                for (size_t k = 0; k < c.columns.size(); ++k) {
                    Query fc(db_, "INSERT INTO \"sys.foreign_key_columns\" VALUES (?, ?, ?, ?, ?, ?)");
                    fc.bind(1, cid).bind(2, static_cast<long long>(k + 1)).bind(3, t.object_id)
                        .bind(4, t.column(c.columns[k])->column_id).bind(5, ref->object_id)
                        .bind(6, ref->column(ref_cols[k])->column_id);
                    fc.step();
                }
                break;
            }
            case ConstraintKind::Check: {
                std::string col_part = c.column.empty() ? "" : c.column + "__";
                if (name.empty()) name = "CK__" + t.name + "__" + col_part + hex_suffix(cid ? cid : 1);
                ddl += ", CONSTRAINT " + quote_ident(name) + " CHECK (" + tr.table_expr(*c.check, &t) + ")";
                checks.push_back(name);
                if (temp) break;
                add_object(cid, name, t.object_id, "C", "CHECK_CONSTRAINT");
                Query q(db_, "INSERT INTO \"sys.check_constraints\" VALUES (?, ?, ?, ?, 'C', 0, ?, ?)");
                q.bind(1, name).bind(2, cid).bind(3, sid).bind(4, t.object_id)
                    .bind(5, c.column.empty() ? 0 : t.column(c.column)->column_id).bind(6, stored_definition(*c.check));
                q.step();
                break;
            }
        }
    }
    if (!temp && !has_pk) {
        Query ix(db_, "INSERT INTO \"sys.indexes\" VALUES (?, NULL, 0, 0, 'HEAP', 0, 0, 0, 0, 0, 0, 0)");
        ix.bind(1, t.object_id);
        ix.step();
    }
    ddl += ")";
    exec_sql(db_, ddl);
    for (const auto& sql : after_ddl) exec_sql(db_, sql);
    if (temp) {
        temp_tables_[lower(n.name)] = {t, keys, checks};
        temp_tables_changed();
    }
}

std::vector<std::string> Catalog::temp_table_names() const {
    std::vector<std::string> names;
    for (const auto& [key, table] : temp_tables_) names.push_back(table.info.name);
    return names;
}

void Catalog::drop_temp_table(const std::string& name) {
    auto it = temp_tables_.find(lower(name));
    if (it == temp_tables_.end()) return;
    std::string sql_ref = it->second.info.sql_ref;
    temp_tables_.erase(it);
    temp_tables_changed();
    exec_sql(db_, "DROP TABLE IF EXISTS " + sql_ref);
}

std::vector<std::string> Catalog::triggers(const TableInfo& t) const {
    std::vector<std::string> names;
    if (t.catalog_view) return names;
    Query q(db_, t.temp ? "SELECT name FROM " + std::string(kTempSchema) +
                             ".sqlite_master WHERE type = 'trigger' AND tbl_name = ? ORDER BY name"
                        : "SELECT name FROM sqlite_master WHERE type = 'trigger' AND tbl_name = ? ORDER BY name");
    q.bind(1, t.temp ? t.name : t.schema + "." + t.name);
    while (q.step()) names.push_back(q.text(0));
    return names;
}

std::vector<std::string> Catalog::check_constraints(const TableInfo& t) const {
    if (t.temp) {
        auto it = temp_tables_.find(lower(t.name));
        return it == temp_tables_.end() ? std::vector<std::string>{} : it->second.checks;
    }
    std::vector<std::string> names;
    Query q(db_, "SELECT name FROM \"sys.check_constraints\" WHERE parent_object_id = ? ORDER BY object_id");
    q.bind(1, t.object_id);
    while (q.step()) names.push_back(q.text(0));
    return names;
}

void Catalog::add_column_row(int object_id, const ColumnInfo& c, int default_id) {
    Query q(db_, "INSERT INTO \"sys.columns\" VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)");
    q.bind(1, object_id).bind(2, c.name).bind(3, c.column_id).bind(4, c.type.system_type_id())
        .bind(5, c.type.name == "sysname" ? 256 : c.type.system_type_id()).bind(6, c.type.max_length())
        .bind(7, c.type.catalog_precision()).bind(8, c.type.catalog_scale());
    if (c.collation.empty()) q.bind_null(9);
    else q.bind(9, c.collation);
    q.bind(10, c.nullable ? 1 : 0).bind(11, c.identity ? 1 : 0).bind(12, default_id);
    q.step();
}

void Catalog::add_column(const Statement& st) {
    auto t = find_table(st.target);
    if (!t || t->catalog_view) throw TsqlError(4902, "42S02", "Cannot find the object \"" + st.target.name +
                                                                   "\" because it does not exist or you do not have permissions.");
    const ColumnDef& d = st.column_defs.at(0);
    if (t->column(d.name))
        throw TsqlError(2705, "42S21", "Column names in each table must be unique. Column name '" + d.name + "' in table '" +
                                           t->name + "' is specified more than once.");
    ColumnInfo c;
    c.column_id = t->columns.empty() ? 1 : t->columns.back().column_id + 1;
    c.name = d.name;
    c.type = d.type;
    c.collation = d.type.is_text() ? (d.collation.empty() ? kDefaultCollation : d.collation) : "";
    if (!t->temp) changed_ = true;
    exec_sql(db_, "ALTER TABLE " + t->sql_ref + " ADD COLUMN " + column_sql(c));
    if (t->temp) {
        temp_tables_[lower(t->name)].info.columns.push_back(c);
        temp_tables_changed();
    } else {
        add_column_row(t->object_id, c, 0);
    }
}

void Catalog::drop_columns(const Statement& st) {
    auto t = find_table(st.target);
    if (!t || !t->temp) throw TsqlError(4902, "42S02", "Cannot find the object \"" + st.target.name +
                                                          "\" because it does not exist or you do not have permissions.");
    TempTable& tt = temp_tables_[lower(t->name)];
    temp_tables_changed();
    for (const auto& name : st.columns) {
        const ColumnInfo* c = tt.info.column(name);
        if (!c) throw TsqlError(4924, "42000", "ALTER TABLE DROP COLUMN failed because column '" + name +
                                                   "' does not exist in table '" + t->name + "'.");
        for (const auto& k : tt.keys)
            for (const auto& kc : k.columns)
                if (iequals(kc, name))
                    throw TsqlError(5074, "42000", "The object '" + k.name + "' is dependent on column '" + name + "'.");
        exec_sql(db_, "ALTER TABLE " + t->sql_ref + " DROP COLUMN " + quote_ident(c->name));
        auto& cols = tt.info.columns;
        cols.erase(std::find_if(cols.begin(), cols.end(), [&](const ColumnInfo& x) { return iequals(x.name, name); }));
    }
}

void Catalog::drop_view(const std::string& schema, const std::string& name) {
    auto id = object_id(schema + "." + name, "V");
    if (!id) return;
    changed_ = true;
    exec_sql(db_, "DROP VIEW " + quote_ident(schema + "." + name));
    exec_sql(db_, "DELETE FROM \"sys.columns\" WHERE object_id = " + std::to_string(*id) +
                      "; DELETE FROM \"sys.objects\" WHERE object_id = " + std::to_string(*id));
}

void Catalog::create_view(const std::string& schema, const std::string& name, const std::vector<ColumnInfo>& columns,
                          const std::string& select_sql) {
    auto sid = schema_id(schema);
    if (!sid) throw TsqlError(2760, "42000", "The specified schema name \"" + schema + "\" either does not exist.");
    changed_ = true;
    int id = new_object_id();
    Query o(db_, "INSERT INTO \"sys.objects\" VALUES (?, ?, NULL, ?, 0, 'V', 'VIEW', datetime('now'), 0)");
    o.bind(1, name).bind(2, id).bind(3, *sid);
    o.step();
    int column_id = 0;
    for (const auto& c : columns) {
        Query q(db_, "INSERT INTO \"sys.columns\" VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 0, 0)");
        q.bind(1, id).bind(2, c.name).bind(3, ++column_id).bind(4, c.type.system_type_id())
            .bind(5, c.type.name == "sysname" ? 256 : c.type.system_type_id()).bind(6, c.type.max_length())
            .bind(7, c.type.catalog_precision()).bind(8, c.type.catalog_scale());
        if (c.collation.empty()) q.bind_null(9);
        else q.bind(9, c.collation);
        q.bind(10, c.nullable ? 1 : 0);
        q.step();
    }
    exec_sql(db_, "CREATE VIEW " + quote_ident(schema + "." + name) + " AS " + select_sql);
}

void Catalog::create_index(const Statement& st) {
    auto t = find_table(st.target);
    if (!t || t->catalog_view)
        throw TsqlError(1088, "42000", "Cannot find the object \"" + st.target.name +
                                           "\" because it does not exist or you do not have permissions.");
    std::string cols_sql;
    KeyInfo key{st.name, false, false, {}};
    for (size_t k = 0; k < st.index_columns.size(); ++k) {
        const ColumnInfo* c = t->column(st.index_columns[k].first);
        if (!c)
            throw TsqlError(1911, "42000", "Column name '" + st.index_columns[k].first +
                                               "' does not exist in the target table or view.");
        cols_sql += (k ? "," : "") + quote_ident(c->name) + (st.index_columns[k].second ? " DESC" : "");
        key.columns.push_back(c->name);
    }
    std::string index_name = std::to_string(t->object_id) + "$" + (t->temp ? t->name + "$" : "") + st.name;
    if (!t->temp) changed_ = true;
    if (!t->temp) {
        Query dup(db_, "SELECT 1 FROM \"sys.indexes\" WHERE object_id = ? AND name = ?");
        dup.bind(1, t->object_id).bind(2, st.name);
        if (dup.step())
            throw TsqlError(1913, "42S11", "The operation failed because an index or statistics with name '" + st.name +
                                               "' already exists on table '" + t->display_name() + "'.");
    }
    // A unique index is checked at the end of each statement, not by SQLite.
    exec_sql(db_, "CREATE INDEX " + (t->temp ? std::string(kTempSchema) + "." : std::string()) +
                      quote_ident(index_name) + " ON " + quote_ident(t->temp ? t->name : t->schema + "." + t->name) +
                      " (" + cols_sql + ")");
    if (st.unique) {
        std::string plain_cols;
        for (size_t k = 0; k < key.columns.size(); ++k) plain_cols += (k ? "," : "") + quote_ident(key.columns[k]);
        Query dup(db_, "SELECT 1 FROM " + t->sql_ref + " GROUP BY " + plain_cols + " HAVING COUNT(*) > 1");
        if (dup.step())
            throw TsqlError(1505, "23000", "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for the object name '" +
                                               (t->temp ? "dbo." + t->name : t->display_name()) + "' and the index name '" + st.name + "'.");
    }
    if (t->temp) {
        if (st.unique) {
            temp_tables_[lower(t->name)].keys.push_back(key);
            temp_tables_changed();
        }
        return;
    }
    Query next(db_, "SELECT COALESCE(MAX(index_id), 1) + 1 FROM \"sys.indexes\" WHERE object_id = ?");
    next.bind(1, t->object_id);
    next.step();
    long long index_id = next.i64(0);
    Query ix(db_, "INSERT INTO \"sys.indexes\" VALUES (?, ?, ?, 2, 'NONCLUSTERED', ?, 0, 0, 0, 0, 0, 0)");
    ix.bind(1, t->object_id).bind(2, st.name).bind(3, index_id).bind(4, st.unique ? 1 : 0);
    ix.step();
    for (size_t k = 0; k < key.columns.size(); ++k) {
        Query icq(db_, "INSERT INTO \"sys.index_columns\" VALUES (?, ?, ?, ?, ?, ?, 0)");
        icq.bind(1, t->object_id).bind(2, index_id).bind(3, static_cast<long long>(k + 1))
            .bind(4, t->column(key.columns[k])->column_id).bind(5, static_cast<long long>(k + 1))
            .bind(6, st.index_columns[k].second ? 1 : 0);
        icq.step();
    }
}

void Catalog::drop_table(const ObjectName& n) {
    auto t = find_table(n);
    if (!t || t->catalog_view)
        throw TsqlError(3701, "42S02", "Cannot drop the table '" + n.name +
                                           "', because it does not exist or you do not have permission.");
    if (t->temp) {
        exec_sql(db_, "DROP TABLE " + t->sql_ref);
        temp_tables_.erase(lower(t->name));
        temp_tables_changed();
        return;
    }
    for (const auto& f : referencing_keys(*t))
        if (f.parent_table != t->schema + "." + t->name)
            throw TsqlError(3726, "42000", "Could not drop object '" + t->display_name() +
                                               "' because it is referenced by a FOREIGN KEY constraint.");
    changed_ = true;
    std::string id = std::to_string(t->object_id);
    for (const auto& f : foreign_keys(*t))
        for (bool on_delete : {true, false})
            exec_sql(db_, "DROP TRIGGER IF EXISTS " + action_trigger_name(t->object_id, f.name, on_delete));
    exec_sql(db_, "DROP TABLE " + t->sql_ref);
    exec_sql(db_, "DELETE FROM \"sys.foreign_key_columns\" WHERE parent_object_id = " + id +
                      "; DELETE FROM \"sys.foreign_keys\" WHERE parent_object_id = " + id +
                      "; DELETE FROM \"sys.index_columns\" WHERE object_id = " + id +
                      "; DELETE FROM \"sys.indexes\" WHERE object_id = " + id +
                      "; DELETE FROM \"sys.columns\" WHERE object_id = " + id +
                      "; DELETE FROM \"sys.default_constraints\" WHERE parent_object_id = " + id +
                      "; DELETE FROM \"sys.check_constraints\" WHERE parent_object_id = " + id +
                      "; DELETE FROM \"sys.key_constraints\" WHERE parent_object_id = " + id +
                      "; DELETE FROM \"sys$identity\" WHERE object_id = " + id +
                      "; DELETE FROM \"sys.objects\" WHERE object_id = " + id + " OR parent_object_id = " + id);
}

namespace {

// Splits "a.b.c", "[a].[b]", "\"a\".b", "tempdb..#t" into its parts.
std::vector<std::string> split_name(const std::string& s) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '[' || c == '"') {
            char close = c == '[' ? ']' : '"';
            for (++i; i < s.size(); ++i) {
                if (s[i] == close) {
                    if (i + 1 < s.size() && s[i + 1] == close) {
                        parts.back() += close;
                        ++i;
                        continue;
                    }
                    break;
                }
                parts.back() += s[i];
            }
        } else if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

}  // namespace

std::optional<int> Catalog::object_id(const std::string& text, const std::string& type) const {
    std::vector<std::string> parts = split_name(text);
    if (parts.size() > 3) return std::nullopt;
    ObjectName n;
    n.name = parts.back();
    if (parts.size() >= 2) n.schema = parts[parts.size() - 2];
    if (parts.size() == 3) n.database = parts[0];
    if (n.temp()) {
        // Temp tables answer with a negative id, as tempdb objects do to other databases.
        auto it = temp_tables_.find(lower(n.name));
        if (it == temp_tables_.end() || (!type.empty() && !iequals(type, "U"))) return std::nullopt;
        return -1000 - static_cast<int>(std::distance(temp_tables_.begin(), it));
    }
    if (!n.database.empty() && !iequals(n.database, database_)) return std::nullopt;
    Query q(db_, statements_,
            "SELECT o.object_id FROM \"sys.objects\" o JOIN \"sys.schemas\" s ON s.schema_id = o.schema_id "
            "WHERE s.name = ? AND o.name = ? AND (? = '' OR o.type = ?)");
    std::string ty = type;
    while (!ty.empty() && ty.back() == ' ') ty.pop_back();
    q.bind(1, n.schema.empty() ? default_schema_ : n.schema).bind(2, n.name).bind(3, ty).bind(4, ty);
    if (q.step()) return static_cast<int>(q.i64(0));
    return std::nullopt;
}

std::optional<std::string> Catalog::object_name(int id) const {
    Query q(db_, statements_, "SELECT name FROM \"sys.objects\" WHERE object_id = ?");
    q.bind(1, id);
    if (q.step()) return q.text(0);
    return std::nullopt;
}

std::optional<int> Catalog::object_schema_id(int id) const {
    Query q(db_, statements_, "SELECT schema_id FROM \"sys.objects\" WHERE object_id = ?");
    q.bind(1, id);
    if (q.step()) return static_cast<int>(q.i64(0));
    return std::nullopt;
}

std::optional<std::string> Catalog::schema_name(int id) const {
    Query q(db_, statements_, "SELECT name FROM \"sys.schemas\" WHERE schema_id = ?");
    q.bind(1, id);
    if (q.step()) return q.text(0);
    return std::nullopt;
}

void Catalog::bump_identity(int object_id, long long value) {
    Query q(db_, "UPDATE \"sys$identity\" SET last_value = ? WHERE object_id = ? AND (last_value IS NULL OR "
                 "(increment > 0 AND last_value < ?) OR (increment < 0 AND last_value > ?))");
    q.bind(1, value).bind(2, object_id).bind(3, value).bind(4, value);
    q.step();
}

}  // namespace sqlserver_standin
