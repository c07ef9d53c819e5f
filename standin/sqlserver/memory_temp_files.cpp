#include "memory_temp_files.h"

#include <sqlite3.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace sqlserver_standin {

namespace {

constexpr const char* kVfsName = "tsql_memory_temp";

// A chunk of a file, mapped from the system rather than taken from the heap: a
// worker thread's heap keeps what it once held, the system takes an unmapped
// chunk back at once, so big #temp tables leave no memory behind.
constexpr sqlite3_int64 kChunk = 256 * 1024;

struct Unmap {
    void operator()(unsigned char* p) const { munmap(p, static_cast<size_t>(kChunk)); }
};
using Chunk = std::unique_ptr<unsigned char, Unmap>;

// Fresh chunks read as zeros. A chunk is filled soon after it is made (files only grow by
// writes), so its pages are mapped in one call rather than by a fault each on first touch.
Chunk new_chunk() {
    void* p = mmap(nullptr, static_cast<size_t>(kChunk), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return Chunk(static_cast<unsigned char*>(p));
}

// A file's bytes in fixed chunks: growing never moves what is there.
class Bytes {
public:
    sqlite3_int64 size() const { return size_; }

    void read(void* out, int n, sqlite3_int64 at) const {
        auto* dst = static_cast<unsigned char*>(out);
        while (n > 0) {
            size_t chunk = static_cast<size_t>(at / kChunk), off = static_cast<size_t>(at % kChunk);
            int part = static_cast<int>(std::min<sqlite3_int64>(n, kChunk - off));
            std::memcpy(dst, chunks_[chunk].get() + off, static_cast<size_t>(part));
            dst += part;
            at += part;
            n -= part;
        }
    }

    void write(const void* in, int n, sqlite3_int64 at) {
        auto* src = static_cast<const unsigned char*>(in);
        grow(at + n, at);
        while (n > 0) {
            size_t chunk = static_cast<size_t>(at / kChunk), off = static_cast<size_t>(at % kChunk);
            int part = static_cast<int>(std::min<sqlite3_int64>(n, kChunk - off));
            std::memcpy(chunks_[chunk].get() + off, src, static_cast<size_t>(part));
            src += part;
            at += part;
            n -= part;
        }
    }

    void truncate(sqlite3_int64 size) {
        if (size >= size_) return;
        chunks_.resize(static_cast<size_t>((size + kChunk - 1) / kChunk));
        size_ = size;
    }

private:
    // Bytes between the old end and `size` read as zeros; those from `written` on are about to be
    // written, so only the gap before them is cleared (fresh chunks are zeros already).
    void grow(sqlite3_int64 size, sqlite3_int64 written) {
        if (size <= size_) return;
        if (size_ % kChunk != 0 && written > size_) {
            sqlite3_int64 end = std::min(written, (size_ / kChunk + 1) * kChunk);
            std::memset(chunks_[static_cast<size_t>(size_ / kChunk)].get() + size_ % kChunk, 0,
                        static_cast<size_t>(end - size_));
        }
        while (static_cast<sqlite3_int64>(chunks_.size()) * kChunk < size)
            chunks_.push_back(new_chunk());
        size_ = size;
    }

    std::vector<Chunk> chunks_;
    sqlite3_int64 size_ = 0;
};

struct MemoryFile {
    sqlite3_file base;
    Bytes* bytes;
};

Bytes& bytes_of(sqlite3_file* f) { return *reinterpret_cast<MemoryFile*>(f)->bytes; }

int mem_close(sqlite3_file* f) {
    delete reinterpret_cast<MemoryFile*>(f)->bytes;
    return SQLITE_OK;
}

int mem_read(sqlite3_file* f, void* out, int n, sqlite3_int64 at) {
    const Bytes& b = bytes_of(f);
    if (at >= b.size()) {
        std::memset(out, 0, static_cast<size_t>(n));
        return SQLITE_IOERR_SHORT_READ;
    }
    int have = static_cast<int>(std::min<sqlite3_int64>(n, b.size() - at));
    b.read(out, have, at);
    if (have == n) return SQLITE_OK;
    std::memset(static_cast<unsigned char*>(out) + have, 0, static_cast<size_t>(n - have));
    return SQLITE_IOERR_SHORT_READ;
}

int mem_write(sqlite3_file* f, const void* in, int n, sqlite3_int64 at) {
    try {
        bytes_of(f).write(in, n, at);
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
    return SQLITE_OK;
}

int mem_truncate(sqlite3_file* f, sqlite3_int64 size) {
    bytes_of(f).truncate(size);
    return SQLITE_OK;
}

int mem_sync(sqlite3_file*, int) { return SQLITE_OK; }

int mem_file_size(sqlite3_file* f, sqlite3_int64* size) {
    *size = bytes_of(f).size();
    return SQLITE_OK;
}

int mem_lock(sqlite3_file*, int) { return SQLITE_OK; }

int mem_check_reserved(sqlite3_file*, int* out) {
    *out = 0;
    return SQLITE_OK;
}

int mem_file_control(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }

int mem_sector_size(sqlite3_file*) { return 4096; }

int mem_device(sqlite3_file*) { return 0; }

const sqlite3_io_methods kMemoryMethods = {
    1, mem_close, mem_read, mem_write, mem_truncate, mem_sync, mem_file_size, mem_lock, mem_lock,
    mem_check_reserved, mem_file_control, mem_sector_size, mem_device,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

sqlite3_vfs g_vfs;
sqlite3_vfs* g_default = nullptr;

// Every other file (the database, its write-ahead log, journals) opens as the default VFS opens it.
int open_file(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags) {
    if (!(flags & (SQLITE_OPEN_TEMP_DB | SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_TRANSIENT_DB))) {
        (void)vfs;
        return g_default->xOpen(g_default, name, f, flags, out_flags);
    }
    auto* m = reinterpret_cast<MemoryFile*>(f);
    m->base.pMethods = nullptr;
    m->bytes = new (std::nothrow) Bytes;
    if (!m->bytes) return SQLITE_NOMEM;
    m->base.pMethods = &kMemoryMethods;
    if (out_flags) *out_flags = flags;
    return SQLITE_OK;
}

}  // namespace

const char* memory_temp_files_vfs() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The default VFS's own methods, which may read its application data, serve the rest.
        g_default = sqlite3_vfs_find(nullptr);
        g_vfs = *g_default;
        g_vfs.zName = kVfsName;
        g_vfs.pNext = nullptr;
        g_vfs.szOsFile = std::max(g_default->szOsFile, static_cast<int>(sizeof(MemoryFile)));
        g_vfs.xOpen = open_file;
        sqlite3_vfs_register(&g_vfs, 0);
    });
    return kVfsName;
}

}  // namespace sqlserver_standin
