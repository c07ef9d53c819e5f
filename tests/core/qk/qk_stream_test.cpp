#include "qk/qk_stream.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "file_fixture.h"

namespace {

using Stream = FileTest;

TEST_F(Stream, ReadStreamDeliversInOrderThenEndOfFile) {
  QK_readstream *psr = nullptr;
  char buf[8];
  QK_uint32 got = 99;
  write_file(path("empty"), "");
  QK_readstream__open(ctx, path("empty").c_str(), &psr);
  ASSERT_EQ(take_error(), "ok");
  QK_readstream__read(ctx, psr, 4, buf, &got);
  EXPECT_EQ(take_error(), "29:");
  QK_readstream__close(ctx, psr);

  write_file(path("ten"), "0123456789");
  QK_readstream__open(ctx, path("ten").c_str(), &psr);
  ASSERT_EQ(take_error(), "ok");
  std::string seen;
  for (QK_uint32 want : {4u, 0u, 4u, 4u}) {
    QK_readstream__read(ctx, psr, want, buf, &got);
    EXPECT_EQ(take_error(), "ok");
    seen.append(buf, got);
  }
  EXPECT_EQ(seen, "0123456789");
  EXPECT_EQ(psr->position, 10u);
  QK_readstream__read(ctx, psr, 4, buf, nullptr);
  EXPECT_EQ(take_error(), "29:");
  EXPECT_EQ(psr->position, 10u);
  QK_readstream__close(ctx, psr);

  QK_readstream__open(ctx, path("missing").c_str(), &psr);
  EXPECT_EQ(take_error(), std::to_string(ENOENT) + ":" + path("missing"));
}

TEST_F(Stream, SeekReaderRegion) {
  QK_seekreader *psr = nullptr;
  QK_uint64 length = 0;
  char buf[8] = {};
  QK_uint32 got = 0;
  write_file(path("f"), "0123456789");
  QK_seekreader__open(ctx, path("f").c_str(), 0, &psr);
  QK_seekreader__get_length(ctx, psr, &length);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(length, 10u);
  QK_seekreader__close(ctx, psr);

  QK_seekreader__open(ctx, path("f").c_str(), 3, &psr);
  QK_seekreader__get_length(ctx, psr, &length);
  EXPECT_EQ(length, 7u);
  QK_seekreader__read_at(ctx, psr, 2, 3, buf, nullptr);  // file offset 5
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(std::string(buf, 3), "567");
  QK_seekreader__read_at(ctx, psr, 0, 2, buf, nullptr);  // backwards works too
  EXPECT_EQ(std::string(buf, 2), "34");
  QK_seekreader__read_at(ctx, psr, 5, 4, buf, &got);  // short with a count: accepted
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(got, 2u);
  QK_seekreader__read_at(ctx, psr, 5, 4, buf, nullptr);  // short without: 30
  EXPECT_EQ(take_error(), "30:");
  QK_seekreader__read_at(ctx, psr, 7, 1, buf, &got);
  EXPECT_EQ(take_error(), "29:");
  QK_seekreader__get_length(ctx, nullptr, &length);
  EXPECT_EQ(take_error(), "2:psr is null");
  QK_seekreader__get_length(ctx, psr, nullptr);
  EXPECT_EQ(take_error(), "2:piLength is null");
  QK_seekreader__close(ctx, psr);
  QK_seekreader__close(ctx, nullptr);

  QK_seekreader__open(ctx, path("f").c_str(), 10, &psr);  // empty region at the end
  QK_seekreader__get_length(ctx, psr, &length);
  EXPECT_EQ(take_error(), "ok");
  EXPECT_EQ(length, 0u);
  QK_seekreader__close(ctx, psr);
  psr = nullptr;
  QK_seekreader__open(ctx, path("f").c_str(), 11, &psr);
  EXPECT_EQ(take_error(), "55:Offset 11 is past the end of '" + path("f") + "'");
  EXPECT_EQ(psr, nullptr);
  QK_seekreader__open(ctx, dir.c_str(), 0, &psr);
  EXPECT_EQ(take_error(), "11:Calling length() on '" + dir + "'");
}

TEST_F(Stream, WriteStreamCreatesNewFilesOnly) {
  QK_writestream *pws = nullptr;
  QK_uint32 written = 0;
  write_file(path("existing"), "keep me");
  QK_writestream__open(ctx, path("existing").c_str(), &pws);
  EXPECT_EQ(take_error(), std::to_string(EEXIST) + ":" + path("existing"));
  EXPECT_EQ(pws, nullptr);
  EXPECT_EQ(read_file(path("existing")), "keep me");

  QK_writestream__open(ctx, path("out").c_str(), &pws);
  ASSERT_EQ(take_error(), "ok");
  QK_writestream__write(ctx, pws, 5, "hello", &written);
  EXPECT_EQ(written, 5u);
  QK_writestream__write(ctx, pws, 0, "", nullptr);
  QK_writestream__write(ctx, pws, 6, " world", nullptr);
  EXPECT_EQ(pws->position, 11u);
  QK_writestream__close(ctx, pws);
  EXPECT_EQ(take_error(), "ok");
  write_file(path("expected"), "hello world");
  EXPECT_EQ(sh("cmp '" + path("out") + "' '" + path("expected") + "' && echo same"), "same");
}

TEST_F(Stream, OnlyTheWriteStreamReportsAFailedClose) {
  QK_readstream *psr = nullptr;
  QK_writestream *pws = nullptr;
  write_file(path("in"), "x");
  QK_readstream__open(ctx, path("in").c_str(), &psr);
  QK_writestream__open(ctx, path("out").c_str(), &pws);
  ASSERT_EQ(take_error(), "ok");
  close(psr->pFile->fd);  // both system closes will now fail
  close(pws->pFile->fd);
  QK_readstream__close(ctx, psr);
  EXPECT_EQ(take_error(), "ok");
  QK_writestream__close(ctx, pws);  // what was written may be lost: say so
  EXPECT_EQ(take_error(), std::to_string(EBADF) + ":");
}

TEST_F(Stream, WriteStreamCutShortIsAnError) {
  std::string p = path("delta");
  int code = in_child([&] {
    QK_context *child = nullptr;
    QK_writestream *pws = nullptr;
    struct rlimit lim = {4096, 4096};
    QK_uint32 written = 0;
    QK_error err = QK_OK;
    std::string data(10000, 'd');
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    QK_context__alloc(&child);
    QK_writestream__open(child, p.c_str(), &pws);
    QK_writestream__write(child, pws, (QK_uint32)data.size(), data.data(), &written);
    QK_context__get_error(child, &err);
    bool ok = err == QK_ERROR_FROM_ERRNO(EFBIG) && written == 4096 && pws->position == 4096;
    QK_writestream__close(child, pws);
    return ok ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
