#include "database_file.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace sqlserver_standin {

StatementCache::StatementCache(sqlite3* db) : db_(db) { sqlite3_set_authorizer(db, &StatementCache::on_access, this); }

StatementCache::~StatementCache() {
    for (auto& entry : idle_) sqlite3_finalize(entry.st);
}

int StatementCache::on_access(void* self, int action, const char* table, const char*, const char* database,
                              const char*) {
    // Called while SQLite compiles a statement: the tables it reads, views
    // seen through (a table read for its row count comes without a database).
    if (action == SQLITE_READ && table && (!database || std::strcmp(database, "main") == 0))
        static_cast<StatementCache*>(self)->compiling_reads_.insert(table);
    return SQLITE_OK;
}

int StatementCache::prepare(const std::string& sql, sqlite3_stmt** st, std::shared_ptr<const TableSet>* reads) {
    auto it = by_text_.find(sql);
    if (it != by_text_.end()) {
        Entry entry = std::move(*it->second);
        idle_.erase(it->second);
        by_text_.erase(it);
        if (entry.versions == versions_) {
            *st = entry.st;
            *reads = std::move(entry.reads);
            prepared_for_[*st] = versions_;
            return SQLITE_OK;
        }
        sqlite3_finalize(entry.st);
    }
    compiling_reads_.clear();
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), st, nullptr);
    *reads = std::make_shared<const TableSet>(std::move(compiling_reads_));
    compiling_reads_.clear();
    if (*st) prepared_for_[*st] = versions_;
    return rc;
}

void StatementCache::release(const std::string& sql, sqlite3_stmt* st, std::shared_ptr<const TableSet> reads) {
    if (!st) return;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    auto prepared = prepared_for_.find(st);
    std::pair<int, int> versions = prepared != prepared_for_.end() ? prepared->second : std::pair<int, int>{-1, -1};
    if (prepared != prepared_for_.end()) prepared_for_.erase(prepared);
    if (by_text_.count(sql)) {
        sqlite3_finalize(st);
        return;
    }
    idle_.push_front(Entry{sql, st, std::move(reads), versions});
    by_text_[sql] = idle_.begin();
    if (idle_.size() > kKept) {
        by_text_.erase(idle_.back().sql);
        sqlite3_finalize(idle_.back().st);
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
        written_.clear();
    }
    turn_.notify_all();
}

bool DatabaseFile::opens_writer(const std::string& opener) {
    std::lock_guard<std::mutex> lock(mutex_);
    return writer_openers_.count(opener) > 0;
}

void DatabaseFile::remember_writer(const std::string& opener) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Texts that embed values are many; a full set starts over.
    if (writer_openers_.size() >= 1024) writer_openers_.clear();
    writer_openers_.insert(opener);
}

void DatabaseFile::note_write(const std::string& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.insert(table);
}

bool DatabaseFile::wait_for_writer(const TableSet& tables, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return turn_.wait_for(lock, timeout, [&] {
        return std::none_of(tables.begin(), tables.end(), [&](const std::string& t) { return written_.count(t) > 0; });
    });
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
