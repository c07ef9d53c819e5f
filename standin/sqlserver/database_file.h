// What the sessions of one process share about one database file: the queue
// on its write lock, and a connection that stays open so that the write-ahead
// log and its index outlive each session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <sqlite3.h>

#include "catalog.h"

namespace sqlserver_standin {

class DatabaseFile {
public:
    // The shared state of the file at `path` (one per file and process).
    static std::shared_ptr<DatabaseFile> of(const std::string& path);

    explicit DatabaseFile(std::string path) : path_(std::move(path)) {}
    ~DatabaseFile();
    DatabaseFile(const DatabaseFile&) = delete;
    DatabaseFile& operator=(const DatabaseFile&) = delete;

    // Writers of this process take turns first come, first served, as SQL
    // Server grants a lock to its waiters in order; false when `timeout`
    // passed first. Writers of other processes meet on SQLite's own lock.
    bool acquire(std::chrono::milliseconds timeout);
    void release();

    // Keeps a connection to the file open from now on (the file exists).
    void keep_open();

    const std::shared_ptr<CatalogCache>& catalog_cache() const { return catalog_cache_; }

private:
    std::string path_;
    std::mutex mutex_;
    std::condition_variable turn_;
    std::deque<unsigned long long> waiting_;
    unsigned long long next_ticket_ = 0;
    bool held_ = false;
    sqlite3* keeper_ = nullptr;
    std::shared_ptr<CatalogCache> catalog_cache_ = std::make_shared<CatalogCache>();
};

}  // namespace sqlserver_standin
