// What the sessions of one process share about one database file: the queue
// on its write lock, the catalog facts of its schema version, and SQLite
// connections that outlive a session with their schema and prepared
// statements.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <sqlite3.h>

#include "catalog.h"
#include "translator.h"

namespace sqlserver_standin {

class Session;

// The tables of the database (not #temp) a statement reads, as SQLite names them.
using TableSet = std::set<std::string>;

// Prepared statements of one connection by SQL text, the most recently used
// kept: one is handed out reset and unbound, and taken back after use. Each
// comes with the tables it reads. A statement kept from another version of a
// schema it uses (the database's, and the #temp tables' if it uses any) is
// prepared again before it describes its columns.
class StatementCache {
public:
    explicit StatementCache(sqlite3* db);
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // The schema versions (database, #temp) statements are prepared for from now on.
    void set_versions(std::pair<int, int> versions) { versions_ = versions; }
    // As sqlite3_prepare_v2; a statement of that text in use already makes a second one.
    int prepare(const std::string& sql, sqlite3_stmt** st, std::shared_ptr<const TableSet>* reads);
    void release(const std::string& sql, sqlite3_stmt* st, std::shared_ptr<const TableSet> reads);
    // Moves on whenever the connection may change its schema or end a
    // transaction: as it compiles DDL or a transaction statement, hands out a
    // kept DDL statement again, or compiles a rollback to a savepoint. A
    // schema version read since still holds (see Catalog).
    const unsigned long long* schema_epoch() const { return &schema_epoch_; }
    // Whether the open transaction changed the database's schema (not only
    // the #temp tables'): a rollback would take the schema version back to
    // one another connection may reach with other changes.
    bool schema_changed_in_transaction();

private:
    struct Handed {
        std::pair<int, int> versions;
        bool ddl;
        bool database_ddl;  // DDL outside the #temp tables' database
        bool uses_temp;
    };
    struct Entry {
        std::string sql;
        sqlite3_stmt* st;
        std::shared_ptr<const TableSet> reads;
        Handed handed;
    };
    void schema_change_committed();
    static int on_access(void* self, int action, const char* table, const char* column, const char* database,
                         const char* via);
    static constexpr size_t kKept = 128;
    sqlite3* db_;
    TableSet compiling_reads_;
    bool compiling_ddl_ = false;
    bool compiling_database_ddl_ = false;
    bool database_ddl_in_transaction_ = false;
    bool compiling_uses_temp_ = false;
    unsigned long long schema_epoch_ = 0;
    std::pair<int, int> versions_{-1, -1};
    std::unordered_map<sqlite3_stmt*, Handed> prepared_for_;  // of the statements handed out
    std::list<Entry> idle_;  // most recent first
    std::unordered_map<std::string, std::list<Entry>::iterator> by_text_;
};

// One SQLite connection to the file and what it keeps between sessions.
struct Connection {
    explicit Connection(sqlite3* handle) : db(handle), statements(handle) {}
    ~Connection();
    sqlite3* db;
    Session* session = nullptr;  // the session using it; the SQL functions find it here
    StatementCache statements;
    TranslationCache translations;
};

class DatabaseFile {
public:
    // The shared state of the file at `path` (one per file and process).
    static std::shared_ptr<DatabaseFile> of(const std::string& path);

    DatabaseFile() = default;
    DatabaseFile(const DatabaseFile&) = delete;
    DatabaseFile& operator=(const DatabaseFile&) = delete;

    // How a wait for the write lock or its holder ended: a wait that would
    // close a cycle of threads waiting for each other's locks in this process
    // is a deadlock.
    enum class Wait { Done, TimedOut, Deadlock };

    // Writers of this process take turns first come, first served, as SQL
    // Server grants a lock to its waiters in order. A statement that is a
    // transaction of its own goes ahead of the queued transactions: they hold
    // nothing yet that it could wait for under SQL Server's row locks, and it
    // holds the lock for one statement. Writers of other processes meet on
    // SQLite's own lock.
    Wait acquire(std::chrono::milliseconds timeout, bool statement_alone);
    void release();

    // Transactions that wrote, by the text of the statement that opened them:
    // the next one opened by that statement takes the write lock at once,
    // until one opened by it commits without writing.
    bool opens_writer(const std::string& opener);
    void remember_writer(const std::string& opener);
    void forget_writer(const std::string& opener);

    // The holder of the write lock has changed `table`.
    void note_write(const std::string& table);
    // Waits while the holder of the write lock in this process has changed
    // one of `tables`, as a reader waits for the writer's row locks.
    Wait wait_for_writer(const TableSet& tables, std::chrono::milliseconds timeout);

    // An idle connection, or none; a session hands its connection back clean
    // (no transaction, no #temp tables). Idle connections also keep the
    // write-ahead log and its index open between sessions.
    std::unique_ptr<Connection> take_connection();
    void give_back(std::unique_ptr<Connection> connection);

    const std::shared_ptr<CatalogCache>& catalog_cache() const { return catalog_cache_; }

private:
    template <typename Ready>
    Wait wait(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout, Ready ready);

    static constexpr size_t kIdleConnections = 16;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::deque<unsigned long long> waiting_;
    std::deque<unsigned long long> waiting_alone_;  // statements of their own, ahead of waiting_
    unsigned long long next_ticket_ = 0;
    bool held_ = false;
    TableSet written_;  // by the holder
    std::set<std::string> writer_openers_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::shared_ptr<CatalogCache> catalog_cache_ = std::make_shared<CatalogCache>();
};

}  // namespace sqlserver_standin
