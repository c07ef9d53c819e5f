#include "row_source.h"

#include "sql_functions.h"

#include <cstdlib>

namespace sqlserver_standin {

namespace {

constexpr const char* kPointerType = "tsql_rows";

struct Cursor {
    sqlite3_vtab_cursor base;
    const RowRefs* rows = nullptr;
    size_t at = 0;
};

int connect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**) {
    std::string ddl = "CREATE TABLE x(";
    for (int i = 0; i < kRowSourceColumns; ++i) ddl += row_source_column(i) + ", ";
    ddl += "src HIDDEN)";
    int rc = sqlite3_declare_vtab(db, ddl.c_str());
    if (rc != SQLITE_OK) return rc;
    auto* vtab = static_cast<sqlite3_vtab*>(sqlite3_malloc(sizeof(sqlite3_vtab)));
    if (!vtab) return SQLITE_NOMEM;
    *vtab = {};
    *out = vtab;
    return SQLITE_OK;
}

int disconnect(sqlite3_vtab* vtab) {
    sqlite3_free(vtab);
    return SQLITE_OK;
}

// The rows come only through the argument: a plan without it reads none.
int best_index(sqlite3_vtab*, sqlite3_index_info* info) {
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (c.iColumn != kRowSourceColumns || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
        if (!c.usable) return SQLITE_CONSTRAINT;
        info->aConstraintUsage[i].argvIndex = 1;
        info->aConstraintUsage[i].omit = 1;
        info->idxNum = 1;
        info->estimatedCost = 1000;
        info->estimatedRows = 1000;
        return SQLITE_OK;
    }
    info->idxNum = 0;
    info->estimatedCost = 1;
    info->estimatedRows = 1;
    return SQLITE_OK;
}

int open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
    *out = &(new Cursor)->base;
    return SQLITE_OK;
}

int close(sqlite3_vtab_cursor* cur) {
    delete reinterpret_cast<Cursor*>(cur);
    return SQLITE_OK;
}

int filter(sqlite3_vtab_cursor* cur, int idx, const char*, int argc, sqlite3_value** argv) {
    auto* c = reinterpret_cast<Cursor*>(cur);
    c->rows = idx == 1 && argc == 1 ? static_cast<const RowRefs*>(sqlite3_value_pointer(argv[0], kPointerType)) : nullptr;
    c->at = 0;
    return SQLITE_OK;
}

int next(sqlite3_vtab_cursor* cur) {
    ++reinterpret_cast<Cursor*>(cur)->at;
    return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor* cur) {
    auto* c = reinterpret_cast<Cursor*>(cur);
    return !c->rows || c->at >= c->rows->size();
}

int column(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int i) {
    auto* c = reinterpret_cast<Cursor*>(cur);
    const std::vector<Value>& row = *(*c->rows)[c->at];
    if (i < 0 || i >= static_cast<int>(row.size())) {
        sqlite3_result_null(ctx);
        return SQLITE_OK;
    }
    set_result(ctx, row[i]);
    return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor* cur, sqlite3_int64* out) {
    *out = static_cast<sqlite3_int64>(reinterpret_cast<Cursor*>(cur)->at) + 1;
    return SQLITE_OK;
}

sqlite3_module make_module() {
    sqlite3_module m{};
    m.iVersion = 1;
    m.xCreate = nullptr;  // eponymous only: never a table in a schema
    m.xConnect = connect;
    m.xBestIndex = best_index;
    m.xDisconnect = disconnect;
    m.xDestroy = disconnect;
    m.xOpen = open;
    m.xClose = close;
    m.xFilter = filter;
    m.xNext = next;
    m.xEof = eof;
    m.xColumn = column;
    m.xRowid = rowid;
    return m;
}

const sqlite3_module kModule = make_module();

}  // namespace

void register_row_source(sqlite3* db) { sqlite3_create_module(db, "tsql_rows", &kModule, nullptr); }

void bind_rows(sqlite3_stmt* st, int index, const RowRefs* rows) {
    sqlite3_bind_pointer(st, index, const_cast<RowRefs*>(rows), kPointerType, nullptr);
}

std::string row_source_column(int i) { return "c" + std::to_string(i); }

}  // namespace sqlserver_standin
