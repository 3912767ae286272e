// Buffered file I/O over POSIX descriptors: sequential reading, append-only
// writing, a ring buffer of bytes and a buffered reader and writer.
//
// Every failure of a system call writes one line to standard error
// ("xio.cpp (<line>): <call>: Error Code <errno>") and returns a failure
// value; only the constructors of buffer_t and fd_aio_t throw (bad_alloc).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/ustring.h"

// A file descriptor; -1 means not open. Destroying an fd_t does not close it.
struct fd_t {
    int handle = -1;
};

// A ring buffer of bytes: `size` bytes held from `head`, wrapping at
// `capacity`.
struct buffer_t {
    explicit buffer_t(size_t capacity);
    ~buffer_t();
    buffer_t(const buffer_t&) = delete;
    buffer_t& operator=(const buffer_t&) = delete;

    uint8_t* data = nullptr;
    size_t capacity = 0;
    size_t size = 0;
    size_t head = 0;
};

// A buffered reader and writer over a descriptor it does not own.
struct fd_bio_t {
    fd_bio_t() = default;
    ~fd_bio_t();
    fd_bio_t(const fd_bio_t&) = delete;
    fd_bio_t& operator=(const fd_bio_t&) = delete;

    fd_t fd;
    buffer_t* w_buffer = nullptr;
    buffer_t* r_buffer = nullptr;
};

// The record of one append. The fd_aio_* functions keep the shape of an
// asynchronous interface but are synchronous: fd_aio_write carries the
// append out to completion before it returns, and fd_aio_wait only hands
// back that outcome. At most one append per record may be outstanding.
struct fd_aio_t {
    fd_aio_t();
    ~fd_aio_t() = default;
    fd_aio_t(const fd_aio_t&) = delete;
    fd_aio_t& operator=(const fd_aio_t&) = delete;

    int file = -1;         // the descriptor of the last append; -1 when none
    bool pending = false;  // an append was started and not yet waited for
    ssize_t result = 0;    // bytes it wrote, or -1
};

int fd_open_read(const ustring& path, fd_t& fd);
// Creates or truncates `path`; every write to it appends at its end.
int fd_open_write(const ustring& path, fd_t& fd);
void fd_close(fd_t& fd);
bool fd_is_open(const fd_t& fd);

// One read of up to `length` bytes: the count (0 at the end of the file) or -1.
ssize_t fd_read(fd_t& fd, void* buffer, size_t length);
// Writes all `length` bytes: `length`, or -1 when any write fails (a full
// disk is reported as such).
ssize_t fd_write(fd_t& fd, const void* buffer, size_t length);
int fd_seek(fd_t& fd, uint64_t offset);
int fd_stat(fd_t& fd, uint64_t& size);

// Synchronous: appends all `length` bytes from `buffer` before it returns
// and records the outcome in `aio`: 0 when the append succeeded, -1.
int fd_aio_write(fd_aio_t& aio, fd_t& fd, const void* buffer, size_t length);
// Does not wait (nothing is in flight): the bytes written by the append
// recorded in `aio` (0 when none), or -1, and the record is cleared.
ssize_t fd_aio_wait(fd_aio_t& aio);

size_t buffer_copy_in(buffer_t& b, const void* data, size_t length);
size_t buffer_copy_out(buffer_t& b, void* data, size_t length);
int buffer_read_fd(buffer_t& b, fd_t& fd);
int buffer_write_fd(buffer_t& b, fd_t& fd);

int fd_bio_load(fd_bio_t& bio, fd_t& fd, size_t capacity);
void fd_bio_unload(fd_bio_t& bio);
// 0 when exactly `length` bytes were delivered; -1 at the end of the file or
// on an error before that.
int fd_bio_read(fd_bio_t& bio, void* data, size_t length);
int fd_bio_write(fd_bio_t& bio, const void* data, size_t length);
int fd_bio_flush(fd_bio_t& bio);
