#include "database_file.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

namespace sqlserver_standin {

StatementCache::StatementCache(sqlite3* db) : db_(db) { sqlite3_set_authorizer(db, &StatementCache::on_access, this); }

StatementCache::~StatementCache() {
    for (auto& entry : idle_) sqlite3_finalize(entry.st);
}

int StatementCache::on_access(void* self, int action, const char* table, const char*, const char* database,
                              const char*) {
    // Called while SQLite compiles a statement: the tables it reads, views
    // seen through (a table read for its row count comes without a database),
    // and whether it uses the #temp tables' database.
    auto* cache = static_cast<StatementCache*>(self);
    if (database && std::strcmp(database, kTempSchema) == 0) cache->compiling_uses_temp_ = true;
    switch (action) {
        case SQLITE_READ:
            if (table && (!database || std::strcmp(database, "main") == 0)) cache->compiling_reads_.insert(table);
            break;
        case SQLITE_CREATE_INDEX: case SQLITE_CREATE_TABLE: case SQLITE_CREATE_TEMP_INDEX:
        case SQLITE_CREATE_TEMP_TABLE: case SQLITE_CREATE_TEMP_TRIGGER: case SQLITE_CREATE_TEMP_VIEW:
        case SQLITE_CREATE_TRIGGER: case SQLITE_CREATE_VIEW: case SQLITE_DROP_INDEX: case SQLITE_DROP_TABLE:
        case SQLITE_DROP_TEMP_INDEX: case SQLITE_DROP_TEMP_TABLE: case SQLITE_DROP_TEMP_TRIGGER:
        case SQLITE_DROP_TEMP_VIEW: case SQLITE_DROP_TRIGGER: case SQLITE_DROP_VIEW: case SQLITE_ALTER_TABLE:
        case SQLITE_REINDEX: case SQLITE_ANALYZE: case SQLITE_CREATE_VTABLE: case SQLITE_DROP_VTABLE:
        case SQLITE_ATTACH: case SQLITE_DETACH:
            cache->compiling_ddl_ = true;
            if (!database || std::strcmp(database, kTempSchema) != 0)
                cache->compiling_database_ddl_ = cache->database_ddl_in_transaction_ = true;
            ++cache->schema_epoch_;
            break;
        case SQLITE_TRANSACTION:
            ++cache->schema_epoch_;
            cache->schema_change_committed();
            break;
        case SQLITE_SAVEPOINT:
            // A rollback to a savepoint takes back the schema changes made since.
            if (table && std::strcmp(table, "BEGIN") != 0 && std::strcmp(table, "RELEASE") != 0) ++cache->schema_epoch_;
            cache->schema_change_committed();
            break;
        default:
            break;
    }
    return SQLITE_OK;
}

int StatementCache::prepare(const std::string& sql, sqlite3_stmt** st, std::shared_ptr<const TableSet>* reads) {
    auto it = by_text_.find(sql);
    if (it != by_text_.end()) {
        Entry entry = std::move(*it->second);
        idle_.erase(it->second);
        by_text_.erase(it);
        if (entry.handed.versions.first == versions_.first &&
            (!entry.handed.uses_temp || entry.handed.versions.second == versions_.second)) {
            *st = entry.st;
            *reads = std::move(entry.reads);
            if (entry.handed.ddl) ++schema_epoch_;
            if (entry.handed.database_ddl) database_ddl_in_transaction_ = true;
            prepared_for_[*st] = entry.handed;
            return SQLITE_OK;
        }
        sqlite3_finalize(entry.st);
    }
    compiling_reads_.clear();
    compiling_ddl_ = false;
    compiling_database_ddl_ = false;
    compiling_uses_temp_ = false;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), st, nullptr);
    *reads = std::make_shared<const TableSet>(std::move(compiling_reads_));
    compiling_reads_.clear();
    if (*st) prepared_for_[*st] = Handed{versions_, compiling_ddl_, compiling_database_ddl_, compiling_uses_temp_};
    compiling_ddl_ = false;
    return rc;
}

void StatementCache::schema_change_committed() {
    // Outside a transaction every change made is committed (or was rolled back).
    if (sqlite3_get_autocommit(db_)) database_ddl_in_transaction_ = false;
}

bool StatementCache::schema_changed_in_transaction() {
    schema_change_committed();
    return database_ddl_in_transaction_;
}

void StatementCache::release(const std::string& sql, sqlite3_stmt* st, std::shared_ptr<const TableSet> reads) {
    if (!st) return;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    auto prepared = prepared_for_.find(st);
    Handed handed = prepared != prepared_for_.end() ? prepared->second : Handed{{-1, -1}, true, true, true};
    if (prepared != prepared_for_.end()) prepared_for_.erase(prepared);
    if (by_text_.count(sql)) {
        sqlite3_finalize(st);
        return;
    }
    idle_.push_front(Entry{sql, st, std::move(reads), handed});
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
    if (!file) file = std::make_shared<DatabaseFile>();
    return file;
}

namespace {

// Which thread holds the write lock of each database of this process, and
// whose holder each waiting thread waits for.
struct WaitGraph {
    std::mutex mutex;
    std::map<const DatabaseFile*, std::thread::id> holders;
    std::map<std::thread::id, const DatabaseFile*> waits;

    // Registers `me` as waiting for the holder of `file`; true, and nothing
    // registered, when the holders' own waits lead back to `me`.
    bool closes_cycle(std::thread::id me, const DatabaseFile* file) {
        std::lock_guard<std::mutex> lock(mutex);
        const DatabaseFile* f = file;
        for (size_t step = 0; f && step <= waits.size(); ++step) {
            auto holder = holders.find(f);
            if (holder == holders.end()) break;
            if (holder->second == me) {
                waits.erase(me);
                return true;
            }
            auto next = waits.find(holder->second);
            f = next == waits.end() ? nullptr : next->second;
        }
        waits[me] = file;
        return false;
    }
    void stop_waiting(std::thread::id me) {
        std::lock_guard<std::mutex> lock(mutex);
        waits.erase(me);
    }
    void hold(const DatabaseFile* file, std::thread::id me) {
        std::lock_guard<std::mutex> lock(mutex);
        holders[file] = me;
    }
    void let_go(const DatabaseFile* file) {
        std::lock_guard<std::mutex> lock(mutex);
        holders.erase(file);
    }
};

WaitGraph& wait_graph() {
    static WaitGraph graph;
    return graph;
}

}  // namespace

template <typename Ready>
DatabaseFile::Wait DatabaseFile::wait(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                                      Ready ready) {
    // A cycle can close after the wait began: it is looked for again now and then.
    constexpr std::chrono::milliseconds kDeadlockCheck{100};
    const auto me = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Wait result = Wait::Done;
    while (!ready()) {
        if (wait_graph().closes_cycle(me, this)) return Wait::Deadlock;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result = Wait::TimedOut;
            break;
        }
        turn_.wait_until(lock, std::min(deadline, now + kDeadlockCheck));
    }
    wait_graph().stop_waiting(me);
    return result;
}

DatabaseFile::Wait DatabaseFile::acquire(std::chrono::milliseconds timeout, bool statement_alone) {
    std::unique_lock<std::mutex> lock(mutex_);
    const unsigned long long ticket = next_ticket_++;
    std::deque<unsigned long long>& queue = statement_alone ? waiting_alone_ : waiting_;
    queue.push_back(ticket);
    Wait result = wait(lock, timeout, [&] {
        return !held_ && queue.front() == ticket && (statement_alone || waiting_alone_.empty());
    });
    if (result != Wait::Done) {
        queue.erase(std::find(queue.begin(), queue.end(), ticket));
        turn_.notify_all();
        return result;
    }
    queue.pop_front();
    held_ = true;
    wait_graph().hold(this, std::this_thread::get_id());
    return result;
}

void DatabaseFile::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        written_.clear();
        wait_graph().let_go(this);
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

void DatabaseFile::forget_writer(const std::string& opener) {
    std::lock_guard<std::mutex> lock(mutex_);
    writer_openers_.erase(opener);
}

void DatabaseFile::note_write(const std::string& table) {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.insert(table);
}

DatabaseFile::Wait DatabaseFile::wait_for_writer(const TableSet& tables, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wait(lock, timeout, [&] {
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
