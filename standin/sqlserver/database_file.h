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
#include <string>
#include <unordered_map>
#include <vector>

#include <sqlite3.h>

#include "catalog.h"

namespace sqlserver_standin {

class Session;

// Prepared statements of one connection by SQL text, the most recently used
// kept: one is handed out reset and unbound, and taken back after use.
class StatementCache {
public:
    explicit StatementCache(sqlite3* db) : db_(db) {}
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // As sqlite3_prepare_v2; a statement of that text in use already makes a second one.
    int prepare(const std::string& sql, sqlite3_stmt** st);
    void release(const std::string& sql, sqlite3_stmt* st);

private:
    static constexpr size_t kKept = 128;
    sqlite3* db_;
    std::list<std::pair<std::string, sqlite3_stmt*>> idle_;  // most recent first
    std::unordered_map<std::string, std::list<std::pair<std::string, sqlite3_stmt*>>::iterator> by_text_;
};

// One SQLite connection to the file and what it keeps between sessions.
struct Connection {
    explicit Connection(sqlite3* handle) : db(handle), statements(handle) {}
    ~Connection();
    sqlite3* db;
    Session* session = nullptr;  // the session using it; the SQL functions find it here
    StatementCache statements;
};

class DatabaseFile {
public:
    // The shared state of the file at `path` (one per file and process).
    static std::shared_ptr<DatabaseFile> of(const std::string& path);

    explicit DatabaseFile(std::string path) : path_(std::move(path)) {}
    DatabaseFile(const DatabaseFile&) = delete;
    DatabaseFile& operator=(const DatabaseFile&) = delete;

    const std::string& path() const { return path_; }

    // Writers of this process take turns first come, first served, as SQL
    // Server grants a lock to its waiters in order; false when `timeout`
    // passed first. Writers of other processes meet on SQLite's own lock.
    bool acquire(std::chrono::milliseconds timeout);
    void release();

    // An idle connection, or none; a session hands its connection back clean
    // (no transaction, no #temp tables). Idle connections also keep the
    // write-ahead log and its index open between sessions.
    std::unique_ptr<Connection> take_connection();
    void give_back(std::unique_ptr<Connection> connection);

    const std::shared_ptr<CatalogCache>& catalog_cache() const { return catalog_cache_; }

private:
    static constexpr size_t kIdleConnections = 16;
    std::string path_;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::deque<unsigned long long> waiting_;
    unsigned long long next_ticket_ = 0;
    bool held_ = false;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::shared_ptr<CatalogCache> catalog_cache_ = std::make_shared<CatalogCache>();
};

}  // namespace sqlserver_standin
