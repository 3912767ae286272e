#include "delta/copy_handler.h"

#include <sys/types.h>

CopyHandler::CopyHandler(const ustring& f) : file(f) {}

CopyHandler::~CopyHandler() {
    fd_close(fd);
}

int CopyHandler::begin() {
    fd_close(fd);
    return fd_open_write(file, fd);
}

int CopyHandler::update(const uint8_t* data, size_t length) {
    if (!fd_is_open(fd)) return -1;
    if (length == 0) return 0;
    pending = length;
    return fd_aio_write(aio, fd, data, length);
}

int CopyHandler::wait() {
    if (!aio.pending) return 0;
    ssize_t n = fd_aio_wait(aio);
    size_t expected = pending;
    pending = 0;
    return n == static_cast<ssize_t>(expected) ? 0 : -1;
}

int CopyHandler::end() {
    int rc = wait();
    if (!fd_is_open(fd)) return -1;
    fd_close(fd);
    return rc;
}
