// Encoding and decoding through real channels over socket pairs.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/channel.h"
#include "value/pobject.h"
#include "stream/pstream.h"

namespace tidewell::testing {

// Connected socket pair; either end may be handed to a Channel.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~SocketPair() {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
    // Hands end i to a Channel, which closes it.
    int Release(int i) {
        int f = fd[i];
        fd[i] = -1;
        return f;
    }
};

inline void WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += n;
    }
}

inline std::string ReadToEnd(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.append(buf, n);
    }
}

// The bytes PStream::Send writes for `x`; `*ret` gets its result.
inline std::string Encode(const PObject& x, int* ret = nullptr) {
    SocketPair pair;
    std::string bytes;
    std::thread reader([&] { bytes = ReadToEnd(pair.fd[1]); });
    {
        Channel ch;
        ch.Open(pair.Release(0), true);
        PStream stream;
        int r = stream.Send(ch, x);
        if (ret) *ret = r;
        ch.Close();
    }
    reader.join();
    return bytes;
}

// Receives `bytes` (followed by the peer closing) into `x` with `stream`.
inline int Decode(const std::string& bytes, PObject& x, PStream& stream) {
    SocketPair pair;
    std::thread writer([&] {
        WriteAll(pair.fd[1], bytes);
        pair.CloseEnd(1);
    });
    Channel ch;
    ch.Open(pair.Release(0), true);
    int ret = stream.Recv(ch, x);
    ch.Close();  // a writer with bytes left over sees the end too
    writer.join();
    return ret;
}

inline int Decode(const std::string& bytes, PObject& x) {
    PStream stream;
    return Decode(bytes, x, stream);
}

}  // namespace tidewell::testing
