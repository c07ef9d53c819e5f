#include "database_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

namespace sqlserver_standin {

std::shared_ptr<DatabaseFile> DatabaseFile::of(const std::string& path) {
    // Every file this process opened stays known until it exits, so that its
    // kept connection spares each new session the log's start-up.
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<DatabaseFile>> files;
    char resolved[PATH_MAX];
    std::string key = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    std::lock_guard<std::mutex> lock(mutex);
    auto& file = files[key];
    if (!file) file = std::make_shared<DatabaseFile>(key);
    return file;
}

DatabaseFile::~DatabaseFile() { sqlite3_close_v2(keeper_); }

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

void DatabaseFile::keep_open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keeper_) return;
    if (sqlite3_open_v2(path_.c_str(), &keeper_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(keeper_);
        keeper_ = nullptr;
        return;
    }
    // A first read opens the log and its index, which stay open with it.
    sqlite3_busy_timeout(keeper_, 1000);
    sqlite3_exec(keeper_, "SELECT COUNT(*) FROM sqlite_master", nullptr, nullptr, nullptr);
}

}  // namespace sqlserver_standin
