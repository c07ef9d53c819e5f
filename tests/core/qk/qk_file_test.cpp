#include "qk/qk_file.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "file_fixture.h"
#include "qk/qk_fsobj.h"
#include "qk/qk_malloc.h"

namespace {

using File = FileTest;

TEST_F(File, RefusedFlagsTouchNothing) {
  const std::string kTrunc = "2:flags_qk is invalid: !(flags_qk & QK_FILE_TRUNC) is false.";
  const std::string kOther = "2:flags_qk is invalid: QK_FALSE is false.";
  struct {
    QK_uint32 flags;
    std::string expected;
  } cases[] = {
      {QK_FILE_RDONLY | QK_FILE_OPEN_OR_CREATE | QK_FILE_TRUNC, kTrunc},
      {QK_FILE_WRONLY | QK_FILE_CREATE_NEW | QK_FILE_TRUNC, kTrunc},
      {QK_FILE_OPEN_OR_CREATE, kOther},
      {QK_FILE_RDONLY | QK_FILE_WRONLY | QK_FILE_OPEN_OR_CREATE, kOther},
      {QK_FILE_WRONLY, kOther},
      {QK_FILE_WRONLY | QK_FILE_OPEN_EXISTING | QK_FILE_CREATE_NEW, kOther},
  };
  write_file(path("existing"), "keep");
  for (const auto &c : cases) {
    for (const char *name : {"existing", "new"}) {
      QK_file *pFile = nullptr;
      QK_file__open(ctx, path(name).c_str(), c.flags, 0644, &pFile);
      EXPECT_EQ(take_error(), c.expected) << std::hex << c.flags;
      EXPECT_EQ(pFile, nullptr);
    }
  }
  EXPECT_EQ(read_file(path("existing")), "keep");
  EXPECT_EQ(sh("test -e '" + path("new") + "' && echo yes || echo no"), "no");
  QK_file__open(ctx, path("x").c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, nullptr);
  EXPECT_EQ(take_error(), "2:ppResult is null");
}

TEST_F(File, DispositionsAgainstCoreutils) {
  QK_file *pFile = nullptr;
  // The path goes into the message unchanged, percent signs included.
  std::string existing = path("a%sb"), created = path("created"), ro = path("readonly");
  write_file(existing, "0123456789");

  QK_file__open(ctx, existing.c_str(), QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pFile);
  EXPECT_EQ(take_error(), std::to_string(EEXIST) + ":" + existing);
  QK_file__open(ctx, created.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile);
  EXPECT_EQ(take_error(), std::to_string(ENOENT) + ":" + created);
  QK_file__open(ctx, dir.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile);
  EXPECT_EQ(take_error(), std::to_string(EISDIR) + ":" + dir);
  EXPECT_EQ(pFile, nullptr);

  // Open-or-create keeps content; with TRUNC (existing or not) the file ends empty.
  QK_file__open(ctx, existing.c_str(), QK_FILE_RDWR | QK_FILE_OPEN_OR_CREATE, 0644, &pFile);
  EXPECT_EQ(take_error(), "ok");
  QK_file__close(ctx, &pFile);
  EXPECT_EQ(sh("stat -c %s '" + existing + "'"), "10");
  QK_file__open(ctx, existing.c_str(), QK_FILE_WRONLY | QK_FILE_OPEN_EXISTING | QK_FILE_TRUNC, 0644, &pFile);
  EXPECT_EQ(take_error(), "ok");
  QK_file__close(ctx, &pFile);
  EXPECT_EQ(sh("stat -c %s '" + existing + "'"), "0");
  QK_file__open(ctx, created.c_str(), QK_FILE_WRONLY | QK_FILE_OPEN_OR_CREATE | QK_FILE_TRUNC, 0644, &pFile);
  EXPECT_EQ(take_error(), "ok");
  QK_file__close(ctx, &pFile);
  EXPECT_EQ(sh("stat -c %s '" + created + "'"), "0");

  // Without the owner-write bit the file is created read-only.
  QK_file__open(ctx, ro.c_str(), QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0444, &pFile);
  QK_file__write__sz(ctx, pFile, "still writable through this handle");
  QK_file__close(ctx, &pFile);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(sh("stat -c %a '" + ro + "'"), "444");
  EXPECT_EQ(read_file(ro), "still writable through this handle");
}

TEST_F(File, ReadCountsAndEndOfFile) {
  QK_file *pFile = nullptr;
  char buf[16] = {};
  QK_uint32 got = 99;
  write_file(path("f"), "hello");
  QK_file__open(ctx, path("f").c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile);
  ASSERT_EQ(take_error(), "ok");

  QK_file__read(ctx, pFile, 3, buf, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(buf, 3), "hel");
  QK_file__read(ctx, pFile, 5, buf, nullptr);  // only 2 left and no count pointer
  EXPECT_EQ(take_error(), "30:");
  QK_file__seek(ctx, pFile, 3);
  QK_file__read(ctx, pFile, 5, buf, &got);  // the same short read with a count pointer
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(buf, 2), "lo");
  QK_file__read(ctx, pFile, 5, buf, &got);
  EXPECT_EQ(take_error(), "29:");
  QK_file__seek(ctx, pFile, 0);
  QK_file__read(ctx, pFile, 0, buf, &got);  // nothing read is End of File, even when nothing was asked
  EXPECT_EQ(take_error(), "29:");
  QK_file__seek(ctx, pFile, 1);
  QK_file__read(ctx, pFile, 4, buf, nullptr);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(buf, 4), "ello");

  QK_file__read(ctx, pFile, 0x80000000u, buf, &got);
  EXPECT_EQ(take_error(), "2:\"iNumBytesWanted\" is invalid: iNumBytesWanted <= 0x7fffffff is false.");
  QK_file__write(ctx, pFile, 0x80000000u, buf, &got);
  EXPECT_EQ(take_error(), "2:\"iNumBytes\" is invalid: iNumBytes <= 0x7fffffff is false.");
  QK_file__write(ctx, pFile, 1, "x", nullptr);  // opened read-only
  EXPECT_EQ(take_error(), std::to_string(EBADF) + ":");
  QK_file__close(ctx, &pFile);

  QK_file closed = {-1};
  QK_file__read(ctx, &closed, 1, buf, &got);
  EXPECT_EQ(take_error(), "2:pFile is invalid: !MY_IS_CLOSED(pFile) is false.");
  QK_file__write(ctx, &closed, 1, buf, &got);
  EXPECT_EQ(take_error(), "2:pFile is invalid: !MY_IS_CLOSED(pFile) is false.");
  QK_file__seek(ctx, &closed, 0);
  EXPECT_EQ(take_error(), "2:pFile is invalid: !MY_IS_CLOSED(pFile) is false.");
  QK_file__read(ctx, nullptr, 1, buf, &got);
  EXPECT_EQ(take_error(), "2:pFile is null");
}

TEST_F(File, ShortWritesAreErrors) {
  // A full disk: every write fails, with or without a count pointer.
  QK_file *pFile = nullptr;
  QK_uint32 written = 99;
  QK_file__open(ctx, "/dev/full", QK_FILE_WRONLY | QK_FILE_OPEN_EXISTING, 0644, &pFile);
  ASSERT_EQ(take_error(), "ok");
  QK_file__write(ctx, pFile, 5, "hello", &written);
  EXPECT_EQ(take_error(), std::to_string(ENOSPC) + ":");
  QK_file__write__sz(ctx, pFile, "hello");
  EXPECT_EQ(take_error(), std::to_string(ENOSPC) + ":");
  QK_file__close(ctx, &pFile);

  // A file-size limit lets part of a write through and then refuses the rest.
  std::string p = path("limited");
  int code = in_child([&] {
    QK_context *child = nullptr;
    QK_file *f = nullptr;
    struct rlimit lim = {1000, 1000};
    QK_uint32 count = 0;
    QK_error err = QK_OK;
    std::string data(5000, 'x');
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    QK_context__alloc(&child);
    QK_file__open(child, p.c_str(), QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &f);
    QK_file__write(child, f, (QK_uint32)data.size(), data.data(), &count);
    QK_context__get_error(child, &err);
    QK_file__close(child, &f);
    return err == QK_ERROR_FROM_ERRNO(EFBIG) && count == 1000 ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(sh("stat -c %s '" + p + "'"), "1000");
}

TEST_F(File, FailedCloseStillReleasesTheRecord) {
  QK_file *pFile = nullptr;
  QK_file__open(ctx, path("c").c_str(), QK_FILE_WRONLY | QK_FILE_CREATE_NEW, 0644, &pFile);
  ASSERT_EQ(take_error(), "ok");
  close(pFile->fd);  // the system close will now fail
  QK_file__close(ctx, &pFile);
  EXPECT_EQ(take_error(), std::to_string(EBADF) + ":");
  EXPECT_EQ(pFile, nullptr);  // freed (the sanitizer build checks for a leak)
  QK_file__close(ctx, &pFile);
  QK_file__close(ctx, nullptr);
  EXPECT_EQ(take_error(), "ok");
}

TEST_F(File, LockKeepsOtherLockersOut) {
  QK_file *pHolder = nullptr, *pOther = nullptr, *pReader1 = nullptr, *pReader2 = nullptr;
  std::string p = path("locked");
  write_file(p, "content");
  QK_file__open(ctx, p.c_str(), QK_FILE_RDWR | QK_FILE_OPEN_EXISTING | QK_FILE_LOCK, 0644, &pHolder);
  ASSERT_EQ(take_error(), "ok");
  QK_file__open(ctx, p.c_str(), QK_FILE_WRONLY | QK_FILE_OPEN_OR_CREATE | QK_FILE_TRUNC | QK_FILE_LOCK, 0644,
                &pOther);
  EXPECT_EQ(take_error(), "74:" + p);
  EXPECT_EQ(pOther, nullptr);
  EXPECT_EQ(read_file(p), "content");  // the refused open truncated nothing
  QK_file__open(ctx, p.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING | QK_FILE_LOCK, 0644, &pOther);
  EXPECT_EQ(take_error(), "74:" + p);
  QK_file__close(ctx, &pHolder);

  // Readers share; a writer waits for both.
  QK_file__open(ctx, p.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING | QK_FILE_LOCK, 0644, &pReader1);
  QK_file__open(ctx, p.c_str(), QK_FILE_RDONLY | QK_FILE_OPEN_EXISTING | QK_FILE_LOCK, 0644, &pReader2);
  EXPECT_EQ(take_error(), "ok");
  QK_file__open(ctx, p.c_str(), QK_FILE_WRONLY | QK_FILE_OPEN_EXISTING | QK_FILE_LOCK, 0644, &pOther);
  EXPECT_EQ(take_error(), "74:" + p);
  QK_file__close(ctx, &pReader1);
  QK_file__close(ctx, &pReader2);
  QK_file__open(ctx, p.c_str(), QK_FILE_WRONLY | QK_FILE_OPEN_EXISTING | QK_FILE_TRUNC | QK_FILE_LOCK, 0644, &pOther);
  EXPECT_EQ(take_error(), "ok");
  QK_file__close(ctx, &pOther);
  EXPECT_EQ(read_file(p), "");
}

using FsObj = FileTest;

TEST_F(FsObj, ExistsAndLengthAgainstCoreutils) {
  write_file(path("file"), std::string(12345, 'z'));
  write_file(path("empty"), "");
  ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  struct {
    std::string p;
    int exists;
    QK_uint32 type;
    std::string length;  // "ok" size or the error of length()
  } cases[] = {
      {path("file"), 1, QK_FSOBJ_TYPE_FILE, "12345"},
      {path("empty"), 1, QK_FSOBJ_TYPE_FILE, "0"},
      {path("sub"), 1, QK_FSOBJ_TYPE_DIRECTORY, "11:Calling length() on '" + path("sub") + "'"},
      {path("fifo"), 1, QK_FSOBJ_TYPE_OTHER, "11:Calling length() on '" + path("fifo") + "'"},
      {"/dev/null", 1, QK_FSOBJ_TYPE_OTHER, "11:Calling length() on '/dev/null'"},
      {path("missing"), 0, 0, std::to_string(ENOENT) + ":Calling stat() on '" + path("missing") + "'"},
      {path("missing/child"), 0, 0, std::to_string(ENOENT) + ":Calling stat() on '" + path("missing/child") + "'"},
      // A path below a regular file is ENOTDIR; it too means "not there".
      {path("file/child"), 0, 0, std::to_string(ENOTDIR) + ":Calling stat() on '" + path("file/child") + "'"},
  };
  for (const auto &c : cases) {
    int exists = -1;
    QK_uint32 type = 99, perms = 0;
    QK_fsobj__exists(ctx, c.p.c_str(), &exists, &type, &perms);
    EXPECT_EQ(take_error(), "ok") << c.p;
    EXPECT_EQ(exists, c.exists) << c.p;
    EXPECT_EQ(std::to_string(exists), sh("test -e '" + c.p + "' && echo 1 || echo 0")) << c.p;
    if (exists) {
      EXPECT_EQ(type, c.type) << c.p;
      EXPECT_EQ(perms, 0666u) << c.p;
    }

    QK_uint64 length = 99;
    type = 99;
    QK_fsobj__length(ctx, c.p.c_str(), &length, &type);
    std::string result = take_error();
    if (result == "ok") {
      EXPECT_EQ(std::to_string(length), c.length) << c.p;
      EXPECT_EQ(std::to_string(length), sh("stat -c %s '" + c.p + "'")) << c.p;
      EXPECT_EQ(type, QK_FSOBJ_TYPE_FILE);
    } else {
      EXPECT_EQ(result, c.length) << c.p;
    }
  }

  QK_fsobj_stat st = {};
  chmod(path("file").c_str(), 0444);
  QK_fsobj__stat(ctx, path("file").c_str(), &st);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(st.perms, 0444u);
  EXPECT_EQ(st.size, 12345u);
  QK_fsobj__stat(ctx, nullptr, &st);
  EXPECT_EQ(take_error(), "2:pPathname is null");
  QK_fsobj__stat(ctx, "/", nullptr);
  EXPECT_EQ(take_error(), "2:pFsObjStat is null");
  QK_fsobj__stat__internal(ctx, "/", nullptr);
  EXPECT_EQ(take_error(), "2:pFsStat is null");
  QK_fsobj__exists(ctx, "/", nullptr, nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:pResult is null");
  QK_fsobj__length(ctx, "/", nullptr, nullptr);
  EXPECT_EQ(take_error(), "2:piResult is null");
}

TEST_F(FsObj, RemoveFile) {
  write_file(path("gone"), "x");
  QK_fsobj__remove_file(ctx, path("gone").c_str());
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(sh("test -e '" + path("gone") + "' && echo yes || echo no"), "no");
  QK_fsobj__remove_file(ctx, path("gone").c_str());
  EXPECT_EQ(take_error(), std::to_string(ENOENT) + ":Calling DeleteFile() on '" + path("gone") + "'");
  QK_fsobj__remove_file(ctx, dir.c_str());
  EXPECT_EQ(take_error(), std::to_string(EISDIR) + ":Calling DeleteFile() on '" + dir + "'");
}

TEST_F(FsObj, PathnameAppend) {
  struct {
    const char *dir;
    std::string expected;
  } cases[] = {
      {"C:\\temp", "C:\\temp/t1"},  // only "/" counts as a separator
      {"dir/", "dir/t1"},
      {"/", "/t1"},
      {"", "2:ndx is invalid: (ndx < pThis->m_uiSizeInUse) is false."},
      {nullptr, "2:ndx is invalid: (ndx < pThis->m_uiSizeInUse) is false."},
  };
  for (const auto &c : cases) {
    char *result = nullptr;
    QK_pathname__append(ctx, &result, c.dir, "t1");
    std::string outcome = take_error();
    EXPECT_EQ(result ? std::string(result) : outcome, c.expected);
    if (result) {
      EXPECT_EQ(outcome, "ok");
    }
    QK_free(ctx, result);
  }
}

}  // namespace
