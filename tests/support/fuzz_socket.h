// Sockets for fuzz targets that feed their input through a real channel.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace tidewell::fuzzing {

// Sends all of `bytes` on `fd`, or as much as the peer takes before it
// closes.
inline void send_all(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace tidewell::fuzzing
