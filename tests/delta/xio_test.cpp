#include "delta/xio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/temp_dir.h"

using tidewell::testing::TempDir;

namespace {

std::string held(buffer_t& b) {
    std::string out(b.size, '\0');
    size_t first = std::min(b.size, b.capacity - b.head);
    std::memcpy(out.data(), b.data + b.head, first);
    std::memcpy(out.data() + first, b.data, b.size - first);
    return out;
}

TEST(RingBuffer, ZeroCapacityMeans8192) {
    buffer_t b(0);
    EXPECT_EQ(b.capacity, 8192u);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.head, 0u);
}

TEST(RingBuffer, StoresAfterTheWrapAndReportsWhatFits) {
    buffer_t b(8);
    ASSERT_EQ(buffer_copy_in(b, "abcdefgh", 8), 8u);
    char out[8];
    ASSERT_EQ(buffer_copy_out(b, out, 4), 4u);
    ASSERT_EQ(buffer_copy_in(b, "ij", 2), 2u);  // offsets 0 and 1
    ASSERT_EQ(b.head, 4u);
    ASSERT_EQ(b.size, 6u);

    EXPECT_EQ(buffer_copy_in(b, "klmno", 5), 2u);
    EXPECT_EQ(b.data[2], 'k');
    EXPECT_EQ(b.data[3], 'l');
    EXPECT_EQ(held(b), "efghijkl");

    char all[8];
    ASSERT_EQ(buffer_copy_out(b, all, 100), 8u);
    EXPECT_EQ(std::string(all, 8), "efghijkl");
    EXPECT_EQ(b.head, 0u);
    EXPECT_EQ(b.size, 0u);
}

TEST(RingBuffer, RefillMovesSplitFreeSpaceTogether) {
    TempDir dir;
    std::string path = dir.write("in", "0123456789");
    fd_t fd;
    ASSERT_EQ(fd_open_read(path, fd), 0);
    buffer_t b(8);
    buffer_copy_in(b, "abcd", 4);
    char out[8];
    buffer_copy_out(b, out, 2);  // "cd" held from head 2: the free space is split
    ASSERT_EQ(buffer_read_fd(b, fd), 0);
    EXPECT_EQ(b.head, 0u);
    EXPECT_EQ(held(b), "cd012345");
    buffer_copy_out(b, out, 3);  // "12345" from head 3: the free space is at the front
    ASSERT_EQ(buffer_read_fd(b, fd), 0);
    EXPECT_EQ(b.head, 3u);
    EXPECT_EQ(held(b), "12345678");
    buffer_copy_out(b, out, 8);
    ASSERT_EQ(buffer_read_fd(b, fd), 0);
    EXPECT_EQ(held(b), "9");
    ASSERT_EQ(buffer_read_fd(b, fd), 0);  // end of file: nothing more
    EXPECT_EQ(b.size, 1u);
    fd_close(fd);
}

TEST(RingBuffer, WritesWrappedContentInOrder) {
    TempDir dir;
    std::string path = dir.file("out");
    fd_t fd;
    ASSERT_EQ(fd_open_write(path, fd), 0);
    buffer_t b(8);
    char scratch[8];
    buffer_copy_in(b, "xxxxxabc", 8);
    buffer_copy_out(b, scratch, 5);
    buffer_copy_in(b, "defg", 4);  // wraps
    ASSERT_EQ(buffer_write_fd(b, fd), 0);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.head, 0u);
    fd_close(fd);
    EXPECT_EQ(TempDir::read(path), "abcdefg");
}

TEST(BufferedIo, ReadPastTheEndFailsAfterDeliveringWhatThereIs) {
    TempDir dir;
    std::string path = dir.write("seven", "1234567");
    fd_t fd;
    ASSERT_EQ(fd_open_read(path, fd), 0);
    fd_bio_t bio;
    ASSERT_EQ(fd_bio_load(bio, fd, 4), 0);
    char out[10] = {};
    EXPECT_EQ(fd_bio_read(bio, out, 10), -1);
    EXPECT_EQ(std::string(out, 7), "1234567");
    fd_bio_unload(bio);
    fd_close(fd);
}

TEST(BufferedIo, ReadsExactLengthsAcrossRefills) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 1000; ++i) content += static_cast<char>(i * 7);
    std::string path = dir.write("in", content);
    fd_t fd;
    ASSERT_EQ(fd_open_read(path, fd), 0);
    fd_bio_t bio;
    fd_bio_load(bio, fd, 64);
    std::string got;
    for (size_t n : {1, 63, 64, 65, 200, 7, 600}) {
        std::string part(n, '\0');
        ASSERT_EQ(fd_bio_read(bio, part.data(), n), 0) << n;
        got += part;
    }
    EXPECT_EQ(got, content);
    char c;
    EXPECT_EQ(fd_bio_read(bio, &c, 1), -1);
    fd_close(fd);
}

TEST(BufferedIo, LargeWriteFlushesBufferedBytesFirst) {
    TempDir dir;
    std::string path = dir.file("out");
    fd_t fd;
    ASSERT_EQ(fd_open_write(path, fd), 0);
    fd_bio_t bio;
    fd_bio_load(bio, fd, 8);
    ASSERT_EQ(fd_bio_write(bio, "abc", 3), 0);
    ASSERT_EQ(fd_bio_write(bio, "0123456789", 10), 0);
    ASSERT_EQ(fd_bio_write(bio, "xyz", 3), 0);
    ASSERT_EQ(fd_bio_flush(bio), 0);
    fd_close(fd);
    EXPECT_EQ(TempDir::read(path), "abc0123456789xyz");
}

TEST(AsyncAppend, SuccessiveAppendsKeepTheirOrder) {
    TempDir dir;
    std::string path = dir.write("out", "old content that is truncated");
    fd_t fd;
    ASSERT_EQ(fd_open_write(path, fd), 0);
    fd_aio_t aio;
    ASSERT_EQ(fd_aio_write(aio, fd, "first ", 6), 0);
    EXPECT_EQ(fd_aio_wait(aio), 6);
    ASSERT_EQ(fd_aio_write(aio, fd, "second", 6), 0);
    EXPECT_EQ(fd_aio_wait(aio), 6);
    EXPECT_EQ(fd_aio_wait(aio), 0);  // nothing in flight
    fd_close(fd);
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_EQ(TempDir::read(path), "first second");
}

TEST(FileOps, SeekAndStat) {
    TempDir dir;
    std::string path = dir.write("in", "abcdefghij");
    fd_t fd;
    ASSERT_EQ(fd_open_read(path, fd), 0);
    uint64_t size = 0;
    ASSERT_EQ(fd_stat(fd, size), 0);
    EXPECT_EQ(size, 10u);
    ASSERT_EQ(fd_seek(fd, 7), 0);
    char out[8];
    EXPECT_EQ(fd_read(fd, out, sizeof out), 3);
    EXPECT_EQ(std::string(out, 3), "hij");
    EXPECT_EQ(fd_read(fd, out, sizeof out), 0);
    fd_close(fd);
}

TEST(FileOps, FailuresReportTheCallAndErrorCode) {
    TempDir dir;
    fd_t fd;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(fd_open_read(dir.file("missing"), fd), -1);
    EXPECT_EQ(fd_open_write(dir.file("no/such/folder/out"), fd), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_NE(err.find("xio.cpp ("), std::string::npos) << err;
    EXPECT_NE(err.find("open: Error Code 2"), std::string::npos) << err;
}

TEST(FileOps, FullDiskIsAFailureNamedAsSuch) {
    fd_t fd;
    if (fd_open_write("/dev/full", fd) != 0) GTEST_SKIP() << "/dev/full is not available";
    std::string block(100000, 'x');
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(fd_write(fd, block.data(), block.size()), -1);
    fd_bio_t bio;
    fd_bio_load(bio, fd, 16);
    EXPECT_EQ(fd_bio_write(bio, "abc", 3), 0);  // buffered
    EXPECT_EQ(fd_bio_flush(bio), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    fd_close(fd);
    EXPECT_NE(err.find("disk full"), std::string::npos) << err;
}

}  // namespace
