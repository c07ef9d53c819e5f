#include "execution_counter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace sqlserver_standin {

namespace {

const char* const kNames[] = {"round_trips", "parameter_sets", "transaction_ends"};
constexpr int kCounts = 3;

}  // namespace

ExecutionCounter::ExecutionCounter(const std::string& path) {
    if (!path.empty()) fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

ExecutionCounter::~ExecutionCounter() {
    if (fd_ >= 0) close(fd_);
}

void ExecutionCounter::add(long long round_trips, long long parameter_sets, long long transaction_ends) {
    if (fd_ < 0) return;
    if (flock(fd_, LOCK_EX) != 0) return;
    char buf[512];
    ssize_t n = pread(fd_, buf, sizeof buf - 1, 0);
    buf[n > 0 ? n : 0] = 0;
    long long counts[kCounts] = {};
    for (int i = 0; i < kCounts; ++i) {
        const char* at = std::strstr(buf, kNames[i]);
        if (at) std::sscanf(at + std::strlen(kNames[i]), "%lld", &counts[i]);
    }
    counts[0] += round_trips;
    counts[1] += parameter_sets;
    counts[2] += transaction_ends;
    int len = std::snprintf(buf, sizeof buf, "%s %lld\n%s %lld\n%s %lld\n", kNames[0], counts[0], kNames[1], counts[1],
                            kNames[2], counts[2]);
    bool written = ftruncate(fd_, 0) == 0 && pwrite(fd_, buf, len, 0) == len;
    (void)written;  // an aid for benchmarks: a failed write changes no result
    flock(fd_, LOCK_UN);
}

void append_statement_log(const std::string& path, const std::string& text, unsigned long long parameter_sets) {
    std::string line = std::to_string(parameter_sets) + "\t" + text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    line += '\n';
    // One write on a file opened for appending: lines of concurrent connections do not interleave.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;  // an aid for benchmarks: a failed write changes no result
    close(fd);
}

}  // namespace sqlserver_standin
