#include "delta/xio.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#define XIO_ERROR(call, code)                                                         \
    std::fprintf(stderr, "xio.cpp (%d): %s: Error Code %d%s\n", __LINE__, call, code, \
                 (code) == ENOSPC ? " (disk full)" : "")

namespace {

// Writes all of `length` bytes, retrying short writes and interruptions.
// Returns `length`, or -1 with errno set.
ssize_t write_all(int handle, const void* buffer, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    size_t left = length;
    while (left > 0) {
        ssize_t n = ::write(handle, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(length);
}

}  // namespace

buffer_t::buffer_t(size_t cap) {
    capacity = cap == 0 ? 8192 : cap;
    data = static_cast<uint8_t*>(std::malloc(capacity));
    if (!data) {
        XIO_ERROR("malloc", errno);
        throw std::bad_alloc();
    }
}

buffer_t::~buffer_t() {
    std::free(data);
}

fd_bio_t::~fd_bio_t() {
    delete w_buffer;
    delete r_buffer;
}

fd_aio_t::fd_aio_t() {}

int fd_open_read(const ustring& path, fd_t& fd) {
    int h = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (h < 0) {
        XIO_ERROR("open", errno);
        return -1;
    }
    (void)::posix_fadvise(h, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd.handle = h;
    return 0;
}

int fd_open_write(const ustring& path, fd_t& fd) {
    int h = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
    if (h < 0) {
        XIO_ERROR("open", errno);
        return -1;
    }
    fd.handle = h;
    return 0;
}

void fd_close(fd_t& fd) {
    if (fd.handle >= 0) {
        ::close(fd.handle);
        fd.handle = -1;
    }
}

bool fd_is_open(const fd_t& fd) {
    return fd.handle >= 0;
}

ssize_t fd_read(fd_t& fd, void* buffer, size_t length) {
    for (;;) {
        ssize_t n = ::read(fd.handle, buffer, length);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        XIO_ERROR("read", errno);
        return -1;
    }
}

ssize_t fd_write(fd_t& fd, const void* buffer, size_t length) {
    fd_aio_t aio;
    if (fd_aio_write(aio, fd, buffer, length) != 0) return -1;
    return fd_aio_wait(aio);
}

int fd_seek(fd_t& fd, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        ::lseek(fd.handle, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
        XIO_ERROR("lseek", offset > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
        return -1;
    }
    return 0;
}

int fd_stat(fd_t& fd, uint64_t& size) {
    struct stat st;
    if (::fstat(fd.handle, &st) != 0) {
        XIO_ERROR("fstat", errno);
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int fd_aio_write(fd_aio_t& aio, fd_t& fd, const void* buffer, size_t length) {
    aio.file = fd.handle;
    aio.pending = true;
    aio.result = write_all(fd.handle, buffer, length);
    if (aio.result < 0) {
        XIO_ERROR("write", errno);
        return -1;
    }
    return 0;
}

ssize_t fd_aio_wait(fd_aio_t& aio) {
    if (!aio.pending) return 0;
    aio.pending = false;
    return aio.result;
}

size_t buffer_copy_in(buffer_t& b, const void* data, size_t length) {
    size_t n = std::min(length, b.capacity - b.size);
    if (n == 0) return 0;
    size_t pos = b.head + b.size;
    if (pos >= b.capacity) pos -= b.capacity;
    size_t first = std::min(n, b.capacity - pos);
    std::memcpy(b.data + pos, data, first);
    if (first < n) std::memcpy(b.data, static_cast<const uint8_t*>(data) + first, n - first);
    b.size += n;
    return n;
}

size_t buffer_copy_out(buffer_t& b, void* data, size_t length) {
    size_t n = std::min(length, b.size);
    if (n == 0) return 0;
    size_t first = std::min(n, b.capacity - b.head);
    std::memcpy(data, b.data + b.head, first);
    if (first < n) std::memcpy(static_cast<uint8_t*>(data) + first, b.data, n - first);
    b.size -= n;
    if (b.size == 0) {
        b.head = 0;
    } else {
        b.head += n;
        if (b.head >= b.capacity) b.head -= b.capacity;
    }
    return n;
}

int buffer_read_fd(buffer_t& b, fd_t& fd) {
    if (b.size == b.capacity) return 0;
    size_t pos;
    if (b.head + b.size >= b.capacity) {
        pos = b.head + b.size - b.capacity;
    } else {
        if (b.head != 0) {
            std::memmove(b.data, b.data + b.head, b.size);
            b.head = 0;
        }
        pos = b.size;
    }
    ssize_t n = fd_read(fd, b.data + pos, b.capacity - b.size);
    if (n < 0) return -1;
    b.size += static_cast<size_t>(n);
    return 0;
}

int buffer_write_fd(buffer_t& b, fd_t& fd) {
    if (b.size == 0) return 0;
    size_t first = std::min(b.size, b.capacity - b.head);
    if (fd_write(fd, b.data + b.head, first) != static_cast<ssize_t>(first)) return -1;
    if (first < b.size) {
        size_t rest = b.size - first;
        if (fd_write(fd, b.data, rest) != static_cast<ssize_t>(rest)) {
            // The first part is out; keep only what is still to be written.
            b.head = 0;
            b.size = rest;
            return -1;
        }
    }
    b.size = 0;
    b.head = 0;
    return 0;
}

int fd_bio_load(fd_bio_t& bio, fd_t& fd, size_t capacity) {
    bio.fd = fd;
    fd_bio_unload(bio);
    bio.r_buffer = new buffer_t(capacity);
    bio.w_buffer = new buffer_t(capacity);
    return 0;
}

void fd_bio_unload(fd_bio_t& bio) {
    delete bio.r_buffer;
    delete bio.w_buffer;
    bio.r_buffer = nullptr;
    bio.w_buffer = nullptr;
}

int fd_bio_read(fd_bio_t& bio, void* data, size_t length) {
    if (!bio.r_buffer) return -1;
    if (bio.r_buffer->size < length && buffer_read_fd(*bio.r_buffer, bio.fd) != 0) return -1;
    size_t got = buffer_copy_out(*bio.r_buffer, data, length);
    uint8_t* p = static_cast<uint8_t*>(data);
    while (got < length) {
        ssize_t n = fd_read(bio.fd, p + got, length - got);
        if (n <= 0) return -1;
        got += static_cast<size_t>(n);
    }
    return 0;
}

int fd_bio_write(fd_bio_t& bio, const void* data, size_t length) {
    if (!bio.w_buffer) return -1;
    if (bio.w_buffer->capacity - bio.w_buffer->size >= length) {
        buffer_copy_in(*bio.w_buffer, data, length);
        return 0;
    }
    if (fd_bio_flush(bio) != 0) return -1;
    if (fd_write(bio.fd, data, length) != static_cast<ssize_t>(length)) return -1;
    return 0;
}

int fd_bio_flush(fd_bio_t& bio) {
    if (!bio.w_buffer) return -1;
    return buffer_write_fd(*bio.w_buffer, bio.fd);
}
