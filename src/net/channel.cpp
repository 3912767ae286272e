#include "net/channel.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "base/logger.h"

namespace {

const char* const kComponent = "channel_debug";

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SOCKET SocketOf(void* context) {
    return context ? *static_cast<SOCKET*>(context) : -1;
}

const Channel::ChannelOps kPlainOps = {
    nullptr, Channel::ReadFd, Channel::WriteFd, Channel::plain_get_fd, Channel::plain_close, Channel::plain_is_invalid,
};

}  // namespace

Channel::Channel(size_t capacity_arg)
    : m_ops(kPlainOps),
      w_buf(new char[capacity_arg]),
      w_head(0),
      w_size(0),
      r_buf(new char[capacity_arg]),
      r_head(0),
      r_size(0),
      capacity(capacity_arg),
      m_timeout{1, 0},
      channel_timeout(kDefaultChannelTimeout),
      flag(nullptr),
      m_isSSL(false),
      m_is_allowing_untrust(true) {}

Channel::~Channel() {
    // Close is virtual, but a subclass is already gone here: the base
    // version releases what the base owns.
    Channel::Close();
    delete[] w_buf;
    delete[] r_buf;
}

int Channel::SelectWithTimeout(SOCKET fd, short events, short* revents, const timeval& timeout, int* abort_flag) {
    if (AbortRequested(abort_flag)) return ERR_INT;
    pollfd p{};
    p.fd = fd;
    p.events = events;
    int ms = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
    int n = poll(&p, 1, ms);
    if (n > 0) {
        if (revents) *revents = p.revents;
        return 0;
    }
    if (n == 0 || errno == EINTR) {
        // A signal cutting the wait short is a wait without progress too.
        TW_DEBUG(kComponent, "select: timeout\n");
        return ERR_TIMEOUT;
    }
    TW_WARNING(kComponent, "select: Error code %d\n", errno);
    return ERR_SYS;
}

int Channel::ReadFd(void* context, void* buf, size_t len, const timeval& timeout, int* abort_flag) {
    SOCKET fd = SocketOf(context);
    if (len == 0) {
        TW_WARNING(kComponent, "ReadFd: request 0\n");
        return ERR_INVAL;
    }
    // Try at once: a busy stream usually has bytes waiting, and the wait
    // would only cost a second system call per read.
    ssize_t n = recv(fd, buf, len, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        short revents = 0;
        int ret = SelectWithTimeout(fd, POLLIN, &revents, timeout, abort_flag);
        if (ret < 0) return ret;
        // Readable wins over an error or hang-up condition: bytes the peer
        // sent before closing are still delivered, and recv reports the failure.
        if (!(revents & POLLIN)) {
            if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
                TW_WARNING(kComponent, "ReadFd: exception set\n");
                return ERR_IO;
            }
            TW_WARNING(kComponent, "ReadFd: select but fd [%d] not ready\n", fd);
            return ERR_SYS;
        }
        n = recv(fd, buf, len, 0);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ERR_TIMEOUT;
        TW_WARNING(kComponent, "read: %s\n", strerror(errno));
        return ERR_IO;
    }
    if (n == 0) {
        TW_WARNING(kComponent, "read: %s\n", strerror(errno));
        TW_WARNING(kComponent,
                   "Diagnose: select says the socket is readable but actually we can't read ... connection closed?\n");
        return ERR_IO;
    }
    TW_DEBUG(kComponent, "ReadFd: read %d bytes\n", static_cast<int>(n));
    return static_cast<int>(n);
}

int Channel::WriteFd(void* context, const void* buf, size_t len, const timeval& timeout, int* abort_flag) {
    SOCKET fd = SocketOf(context);
    // Try at once, and wait for room only when the socket has none.
    // MSG_NOSIGNAL: a peer that has gone is an error result, not SIGPIPE.
    ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        short revents = 0;
        int ret = SelectWithTimeout(fd, POLLOUT, &revents, timeout, abort_flag);
        if (ret < 0) return ret;
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            TW_WARNING(kComponent, "WriteFd: exception occurs\n");
            return ERR_IO;
        }
        if (!(revents & POLLOUT)) {
            TW_WARNING(kComponent, "WriteFd: select but fd [%d] not ready\n", fd);
            return ERR_SYS;
        }
        n = send(fd, buf, len, MSG_NOSIGNAL);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ERR_TIMEOUT;
        TW_WARNING(kComponent, "write: %s\n", strerror(errno));
        return ERR_IO;
    }
    if (n == 0) {
        TW_WARNING(kComponent, "write: %s\n", strerror(errno));
        TW_WARNING(
            kComponent,
            "Diagnose: select says the socket is writeable but actually we can't write ... connection closed?\n");
        return ERR_IO;
    }
    TW_DEBUG(kComponent, "WriteFd: write %d bytes\n", static_cast<int>(n));
    return static_cast<int>(n);
}

SOCKET Channel::plain_get_fd(void* context) {
    return SocketOf(context);
}

int Channel::plain_close(void* context) {
    if (context == nullptr) return 0;
    SOCKET* cell = static_cast<SOCKET*>(context);
    if (*cell != -1) {
        if (shutdown(*cell, SHUT_RDWR) != 0) TW_DEBUG(kComponent, "Channel: shutdown: %s\n", strerror(errno));
        ::close(*cell);
        TW_DEBUG(kComponent, "Channel: socket %d closed\n", *cell);
    }
    delete cell;
    return 0;
}

bool Channel::plain_is_invalid(void* context) {
    return context == nullptr || *static_cast<SOCKET*>(context) == -1;
}

int Channel::Open(const char*) {
    return 0;
}

int Channel::Open(SOCKET fd, bool nonblock) {
    if (!m_ops.isInvalid(m_ops.context)) {
        TW_WARNING(kComponent, "Open: Channel already opened [%d]\n", m_ops.get_fd(m_ops.context));
        TW_WARNING(kComponent, "Open: %s\n", GetErrorString(ERR_INVAL));
        return ERR_INVAL;
    }
    if (fd == -1) return ERR_INVAL;
    if (nonblock) {
        if (SetLinger(fd, 1) != 0) {
            TW_WARNING(kComponent, "Open: SetLinger to socket [%d] failed, %s\n", fd, strerror(errno));
            return ERR_SYS;
        }
        if (SetNonBlock(fd) != 0) {
            TW_WARNING(kComponent, "Open: SetNonBlock to socket [%d] failed, %s\n", fd, strerror(errno));
            return ERR_SYS;
        }
    }
    m_ops.context = new SOCKET(fd);
    ClearRead();
    ClearWrite();
    TW_DEBUG(kComponent, "Channel: opening socket %d\n", fd);
    return 0;
}

int Channel::Open(const char* ip, int port) {
    if (ip == nullptr || port <= 0 || port > 65535) {
        TW_WARNING(kComponent, "Invalid argumants (ip: %s, port: %d\n", ip ? ip : "(null)", port);
        return ERR_INVAL;
    }
    if (!m_ops.isInvalid(m_ops.context)) {
        TW_WARNING(kComponent, "Open: Channel already opened [%d]\n", m_ops.get_fd(m_ops.context));
        TW_WARNING(kComponent, "Open: %s\n", GetErrorString(ERR_INVAL));
        return ERR_INVAL;
    }
    SOCKET sock = CreateSock();
    if (sock == -1) return ERR_IO;
    if (SetLinger(sock, 1) != 0 || SetNonBlock(sock) != 0) {
        ::close(sock);
        return ERR_SYS;
    }
    if (ConnectWithTimeout(sock, ip, port) < 0) {
        ::close(sock);
        return ERR_IO;
    }
    ClearRead();
    ClearWrite();
    m_ops.context = new SOCKET(sock);
    return 0;
}

int Channel::Close() {
    if (!m_ops.isInvalid(m_ops.context)) {
        int ret = FlushWrite(0);
        if (ret < 0) {
            TW_WARNING(kComponent, "FlushWrite: %s\n", GetErrorString(ret));
            ClearRead();
            ClearWrite();
        }
    }
    if (m_ops.context != nullptr) {
        m_ops.close(m_ops.context);
        m_ops.context = nullptr;
    }
    m_isSSL = false;
    SwitchChannelOp(CHANNEL_PLAIN_MODE);
    return 0;
}

void Channel::SetTimeout(uint32_t seconds) {
    channel_timeout = seconds;
}

void Channel::SetFlag(int* abort_flag) {
    flag = abort_flag;
}

int Channel::ReadByte(uint8_t* value) {
    unsigned char b[1];
    int ret = Read(reinterpret_cast<char*>(b), 1);
    if (ret == 0) *value = b[0];
    return ret;
}

int Channel::ReadInt16(uint16_t* value) {
    unsigned char b[2];
    int ret = Read(reinterpret_cast<char*>(b), 2);
    if (ret == 0) *value = static_cast<uint16_t>((b[0] << 8) | b[1]);
    return ret;
}

int Channel::ReadInt32(uint32_t* value) {
    unsigned char b[4];
    int ret = Read(reinterpret_cast<char*>(b), 4);
    if (ret == 0) {
        *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    }
    return ret;
}

int Channel::ReadInt64(uint64_t* value) {
    unsigned char b[8];
    int ret = Read(reinterpret_cast<char*>(b), 8);
    if (ret == 0) {
        uint64_t v = 0;
        for (unsigned char c : b) v = (v << 8) | c;
        *value = v;
    }
    return ret;
}

int Channel::WriteByte(uint8_t value) {
    char b = static_cast<char>(value);
    return Write(&b, 1);
}

int Channel::WriteInt16(uint16_t value) {
    char b[2] = {static_cast<char>(value >> 8), static_cast<char>(value)};
    return Write(b, 2);
}

int Channel::WriteInt32(uint32_t value) {
    char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(value >> (24 - 8 * i));
    return Write(b, 4);
}

int Channel::WriteInt64(uint64_t value) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(value >> (56 - 8 * i));
    return Write(b, 8);
}

int Channel::Read(char* buf, size_t len) {
    size_t total = 0;
    return Read(buf, len, total);
}

int Channel::Read(char* buf, size_t len, size_t& total) {
    total = 0;
    if (m_ops.isInvalid(m_ops.context)) return ERR_IO;

    // What is buffered first, in one block or two when it wraps.
    size_t copy = r_size < len ? r_size : len;
    if (copy > 0) {
        size_t first = capacity - r_head < copy ? capacity - r_head : copy;
        memcpy(buf, r_buf + r_head, first);
        if (copy > first) memcpy(buf + first, r_buf, copy - first);
        r_size -= copy;
        r_head = r_size == 0 ? 0 : (r_head + copy) % capacity;
    }
    total = copy;

    // The buffer is empty now; refill it from the socket.
    int ret = 0;
    while (total < len) {
        size_t want = len - total < capacity ? len - total : capacity;
        TW_DEBUG(kComponent, "want = %d, len = %d, total = %d, capacity = %d\n", static_cast<int>(want),
                 static_cast<int>(len), static_cast<int>(total), static_cast<int>(capacity));
        ret = ReadMore(static_cast<int>(want));
        if (ret < 0) {
            // Hand over whatever did arrive, so the caller knows how far it got.
            size_t got = r_size < want ? r_size : want;
            memcpy(buf + total, r_buf + r_head, got);
            total += got;
            r_size -= got;
            r_head = r_size == 0 ? 0 : r_head + got;
            break;
        }
        memcpy(buf + total, r_buf + r_head, want);
        total += want;
        r_size -= want;
        r_head = r_size == 0 ? 0 : r_head + want;
    }
    TW_DEBUG(kComponent, "Read: read %d bytes, head = %d, size = %d\n", static_cast<int>(total),
             static_cast<int>(r_head), static_cast<int>(r_size));
    return ret;
}

int Channel::Write(const char* buf, size_t len) {
    if (m_ops.isInvalid(m_ops.context)) return ERR_IO;
    if (len > capacity) {
        TW_WARNING(kComponent, "Write: Exceed maximum data block size\n");
        return ERR_INVAL;
    }
    if (w_size + len > capacity) {
        int ret = FlushWrite(static_cast<int>(w_size + len - capacity));
        if (ret < 0) {
            TW_WARNING(kComponent, "Write: FlushWrite failed\n");
            return ret;
        }
    }
    if (len > 0) {
        size_t start = (w_head + w_size) % capacity;
        size_t first = capacity - start < len ? capacity - start : len;
        memcpy(w_buf + start, buf, first);
        if (len > first) memcpy(w_buf, buf + first, len - first);
        w_size += len;
    }
    TW_DEBUG(kComponent, "Write: write %d bytes\n", static_cast<int>(len));
    return 0;
}

void Channel::ClearRead() {
    r_head = r_size = 0;
}

void Channel::ClearWrite() {
    w_head = w_size = 0;
}

int Channel::FlushWrite(int want_arg) {
    size_t want = want_arg <= 0 ? w_size : static_cast<size_t>(want_arg);
    if (want > w_size) want = w_size;
    int64_t last_progress = NowMs();
    size_t sent = 0;
    while (sent < want) {
        if (Aborted()) return ERR_INT;
        size_t chunk = w_head + w_size > capacity ? capacity - w_head : w_size;
        TW_DEBUG(kComponent, "WriteFd: from %d, len %d\n", static_cast<int>(w_head), static_cast<int>(chunk));
        int n = m_ops.write(m_ops.context, w_buf + w_head, chunk, m_timeout, flag);
        if (n >= 0) {
            last_progress = NowMs();
            sent += n;
            w_head += n;
            w_size -= n;
            if (w_head >= capacity || w_size == 0) w_head = 0;
        } else if (n == ERR_TIMEOUT) {
            if (channel_timeout != 0 && NowMs() - last_progress >= int64_t{channel_timeout} * 1000) {
                TW_WARNING(kComponent, "FlushWrite: Channel timeout for %u seconds\n", channel_timeout);
                return ERR_TIMEOUT;
            }
        } else {
            return n;
        }
    }
    TW_DEBUG(kComponent, "FlushWrite: flush at least %d bytes\n", static_cast<int>(want));
    return 0;
}

int Channel::GetPeerInfo(std::string&, int&) {
    return ERR_SYS;
}

bool Channel::IsClosed() {
    return m_ops.isInvalid(m_ops.context);
}

int Channel::ReadMore(int want) {
    if (want <= 0) return 0;
    int64_t last_progress = NowMs();
    int received = 0;
    while (received < want) {
        if (Aborted()) return ERR_INT;
        size_t end = r_head + r_size;
        char* at;
        size_t room;
        if (end < capacity) {
            at = r_buf + end;
            room = capacity - end;
        } else {
            at = r_buf + (end - capacity);
            room = capacity - r_size;
        }
        if (room == 0) break;  // full: nothing more fits until the caller takes some
        TW_DEBUG(kComponent, "ReadMore: want = %d, total = %d, len = %d, r_head = %d, r_size = %d\n", want, received,
                 static_cast<int>(room), static_cast<int>(r_head), static_cast<int>(r_size));
        int n = m_ops.read(m_ops.context, at, room, m_timeout, flag);
        if (n >= 0) {
            received += n;
            r_size += n;
            last_progress = NowMs();
        } else if (n == ERR_TIMEOUT) {
            if (channel_timeout != 0 && NowMs() - last_progress >= int64_t{channel_timeout} * 1000) {
                TW_DEBUG(kComponent, "ReadMore: Channel timeout for %u seconed\n", channel_timeout);
                return ERR_TIMEOUT;
            }
        } else {
            return n;
        }
    }
    TW_DEBUG(kComponent, "ReadMore: read at least %d bytes\n", want);
    return 0;
}

uint64_t Channel::Convert(uint64_t value) {
    return __builtin_bswap64(value);
}
uint32_t Channel::Convert(uint32_t value) {
    return __builtin_bswap32(value);
}
uint16_t Channel::Convert(uint16_t value) {
    return __builtin_bswap16(value);
}

SOCKET Channel::CreateSock() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int Channel::SetLinger(SOCKET sock, int seconds) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = seconds;
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
        TW_WARNING(kComponent, "setsockopt: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

int Channel::SetNonBlock(SOCKET sock) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) {
        TW_WARNING(kComponent, "ioctl: Error code: %d\n", errno);
        return -1;
    }
    return 0;
}

int Channel::ConnectWithTimeout(SOCKET sock, const char* ip, int port) {
    sockaddr_in addr{};
    if (sock == -1 || ip == nullptr || port <= 0 || port > 65535 || inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        TW_WARNING(kComponent, "Invalid argumants (ip: %s, port: %d\n", ip ? ip : "(null)", port);
        return ERR_INVAL;
    }
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return 0;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) {
        TW_WARNING(kComponent, "connect: Error Code: %d\n", errno);
        return ERR_SYS;
    }
    uint32_t elapsed = 0;
    short revents = 0;
    for (;;) {
        int ret = SelectWithTimeout(sock, POLLOUT, &revents, m_timeout, flag);
        if (ret == 0) break;
        if (ret != ERR_TIMEOUT) return ret;
        elapsed += 3;
        if (channel_timeout != 0 && elapsed >= channel_timeout) {
            TW_WARNING(kComponent, "Channel timed out during connect (%d seconds), abort anyway\n",
                       static_cast<int>(channel_timeout));
            return ERR_TIMEOUT;
        }
    }
    int so_error = 0;
    socklen_t so_len = sizeof so_error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &so_error, &so_len) != 0) so_error = errno;
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) || so_error != 0) {
        TW_WARNING(kComponent, "connect: exception set\n");
        return ERR_IO;
    }
    if (revents & POLLOUT) return 0;
    TW_WARNING(kComponent, "connect: write fd is not set\n");
    return ERR_SYS;
}

void Channel::SwitchChannelOp(int mode) {
    void* context = m_ops.context;
    m_ops = mode == CHANNEL_PLAIN_MODE ? kPlainOps : SSLOps();
    m_ops.context = context;
}
