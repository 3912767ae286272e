// Writes every chunk of the data passing through a reader to a file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ustring.h"
#include "delta/xio.h"

class CopyHandler {
public:
    explicit CopyHandler(const ustring& file);
    ~CopyHandler();
    CopyHandler(const CopyHandler&) = delete;
    CopyHandler& operator=(const CopyHandler&) = delete;

    // Each returns 0, or -1.
    int begin();  // creates or truncates the file
    int update(const uint8_t* data, size_t length);
    int wait();
    int end();

private:
    ustring file;
    fd_t fd;
    fd_aio_t aio;
    size_t pending = 0;  // bytes of the append in flight
};
