#include "database_file.h"

#include <algorithm>
#include <map>

namespace sqlserver_standin {

StatementCache::~StatementCache() {
    for (auto& entry : idle_) sqlite3_finalize(entry.second);
}

int StatementCache::prepare(const std::string& sql, sqlite3_stmt** st) {
    auto it = by_text_.find(sql);
    if (it != by_text_.end()) {
        *st = it->second->second;
        idle_.erase(it->second);
        by_text_.erase(it);
        return SQLITE_OK;
    }
    return sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), st, nullptr);
}

void StatementCache::release(const std::string& sql, sqlite3_stmt* st) {
    if (!st) return;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (by_text_.count(sql)) {
        sqlite3_finalize(st);
        return;
    }
    idle_.emplace_front(sql, st);
    by_text_[sql] = idle_.begin();
    if (idle_.size() > kKept) {
        by_text_.erase(idle_.back().first);
        sqlite3_finalize(idle_.back().second);
        idle_.pop_back();
    }
}

// The cached statements are finalised after this, which completes the close.
Connection::~Connection() { sqlite3_close_v2(db); }

std::shared_ptr<DatabaseFile> DatabaseFile::of(const std::string& path) {
    // Every file this process opened stays known until it exits, with its
    // idle connections.
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<DatabaseFile>> files;
    std::lock_guard<std::mutex> lock(mutex);
    auto& file = files[path];
    if (!file) file = std::make_shared<DatabaseFile>(path);
    return file;
}

bool DatabaseFile::acquire(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long long ticket = next_ticket_++;
    waiting_.push_back(ticket);
    if (!turn_.wait_for(lock, timeout, [&] { return !held_ && waiting_.front() == ticket; })) {
        waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
        turn_.notify_all();
        return false;
    }
    waiting_.pop_front();
    held_ = true;
    return true;
}

void DatabaseFile::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
    }
    turn_.notify_all();
}

std::unique_ptr<Connection> DatabaseFile::take_connection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.empty()) return nullptr;
    std::unique_ptr<Connection> c = std::move(idle_.back());
    idle_.pop_back();
    return c;
}

void DatabaseFile::give_back(std::unique_ptr<Connection> connection) {
    std::unique_ptr<Connection> surplus;
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kIdleConnections) idle_.push_back(std::move(connection));
    else surplus = std::move(connection);
}

}  // namespace sqlserver_standin
