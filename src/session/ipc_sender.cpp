#include "session/ipc_sender.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>

#include "stream/pstream.h"

namespace {

constexpr size_t kBufferSize = 81920;

}  // namespace

IPCSender::IPCSender() : c(kBufferSize) {}

IPCSender::~IPCSender() {
    c.Close();
}

int IPCSender::connect(int port) {
    if (port <= 0 || port > 65535) return -1;
    if (c.Open("127.0.0.1", port) < 0 || c.IsClosed()) return -1;
    return 0;
}

int IPCSender::connect(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return -1;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return assign(fd);
}

int IPCSender::assign(int fd) {
    if (c.Open(fd, true) < 0) {
        ::close(fd);
        return -1;
    }
    return 0;
}

void IPCSender::close() {
    c.Close();
}

int IPCSender::send(const PObject& msg, bool need_response, PObject& response) {
    if (send(msg) < 0) return -1;
    return need_response ? recv(response) : 0;
}

int IPCSender::send(const PObject& msg) {
    PStream stream;
    return stream.Send(c, msg) < 0 ? -1 : 0;
}

int IPCSender::recv(PObject& response) {
    PStream stream;
    return stream.Recv(c, response) < 0 ? -1 : 0;
}
