#include "daemon/ipc_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>
#include <fstream>

#include "support/temp_dir.h"

// Every umask() call of this program lands here, the library's included:
// the control socket must never change the process-wide mask, which every
// other thread's file creation uses at the same moment.
std::atomic<int> g_umask_calls{0};

extern "C" mode_t umask(mode_t mask) {
    g_umask_calls.fetch_add(1);
    return static_cast<mode_t>(syscall(SYS_umask, mask));
}

namespace {

using tidewell::testing::TempDir;

// A loopback port that was free a moment ago, with the next one free too.
int free_port_pair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int probe = IPCListener::OpenSocket(20000 + (getpid() * 7 + attempt * 131) % 40000);
        if (probe < 0) continue;
        sockaddr_in addr = {};
        socklen_t len = sizeof(addr);
        getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
        int port = ntohs(addr.sin_port);
        int next = IPCListener::OpenSocket(port + 1);
        IPCListener::CloseSocket(probe);
        if (next >= 0) {
            IPCListener::CloseSocket(next);
            return port;
        }
    }
    return -1;
}

int connect_unix(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(IPCListenerTest, TakenPortMovesToTheNextFreeOne) {
    int port = free_port_pair();
    ASSERT_GT(port, 0);
    int holder = IPCListener::OpenSocket(port);
    ASSERT_GE(holder, 0);

    IPCListener listener;
    EXPECT_EQ(listener.prepare(port), port + 1);
    EXPECT_GE(listener.getFd(), 0);
    IPCListener::CloseSocket(holder);
    listener.close();
    EXPECT_EQ(listener.getFd(), -1);
}

TEST(IPCListenerTest, BindLoopEndsAtThePortRange) {
    IPCListener listener;
    EXPECT_EQ(listener.prepare(65536), -1);
    EXPECT_EQ(listener.getFd(), -1);
    EXPECT_FALSE(listener.isReady());
    EXPECT_EQ(listener.accept(), -1);
    EXPECT_EQ(IPCListener::OpenSocket(0), -1);
}

TEST(IPCListenerTest, IsReadyWaitsForAConnectionOrTheWakeFd) {
    IPCListener listener;
    int port = listener.prepare(free_port_pair());
    ASSERT_GT(port, 0);
    listener.setTimeout(timeval{0, 50 * 1000});
    EXPECT_FALSE(listener.isReady());

    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    listener.setWakeFd(wake[0]);
    listener.setTimeout(timeval{5, 0});
    ASSERT_EQ(write(wake[1], "x", 1), 1);
    EXPECT_FALSE(listener.isReady()) << "a wake-up returns without a connection";
    close(wake[0]);
    close(wake[1]);
    listener.setWakeFd(-1);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_TRUE(listener.isReady());
    int accepted = listener.accept();
    EXPECT_GE(accepted, 0);
    close(accepted);
    close(client);
}

TEST(IPCListenerTest, DomainSocketIsOwnerOnlyAndRemovedOnClose) {
    TempDir dir;
    std::string path = dir.file("control.sock");
    umask(0);  // the socket's mode must not depend on the caller's umask
    {
        IPCListener listener;
        ASSERT_EQ(listener.prepare(path), 0);
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);

        int client = connect_unix(path);
        EXPECT_GE(client, 0);
        EXPECT_TRUE(listener.isReady());
        close(client);

        IPCListener second;
        EXPECT_EQ(second.prepare(path), -1) << "a live socket is never taken over";
    }
    umask(022);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "close removes the socket file";
}

TEST(IPCListenerTest, DomainSocketIsMadeOwnerOnlyWithoutTouchingTheUmask) {
    TempDir dir;
    std::string path = dir.file("c.sock");
    g_umask_calls = 0;
    IPCListener listener;
    ASSERT_EQ(listener.prepare(path), 0);
    EXPECT_EQ(g_umask_calls.load(), 0);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing else is left beside it (the socket is made in a private
    // folder and moved into place).
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"c.sock"});
    int client = connect_unix(path);
    EXPECT_GE(client, 0);
    EXPECT_TRUE(listener.isReady());
    close(client);
}

TEST(IPCListenerTest, DomainSocketReplacesStaleSocketButNoOtherFile) {
    TempDir dir;
    std::string stale = dir.file("stale.sock");
    int fd = IPCListener::OpenDomainSocket(stale);
    ASSERT_GE(fd, 0);
    IPCListener::CloseDomainSocket(fd);  // leaves the file, nobody listening

    IPCListener listener;
    EXPECT_EQ(listener.prepare(stale), 0);
    int client = connect_unix(stale);
    EXPECT_GE(client, 0);
    close(client);

    std::string regular = dir.write("notes.txt", "keep me");
    IPCListener other;
    EXPECT_EQ(other.prepare(regular), -1);
    EXPECT_EQ(TempDir::read(regular), "keep me");

    EXPECT_EQ(other.prepare(dir.file(std::string(120, 'x'))), -1) << "longer than a socket address holds";
    EXPECT_EQ(other.prepare(dir.file("missing-dir/c.sock")), -1);
    // A path that fits a socket address, in a folder too long for the
    // private folder the socket is made in: refused, nothing left behind.
    std::string folder = dir.file(std::string(98 - dir.path().string().size() - 1, 'p'));
    ASSERT_EQ(folder.size(), 98u);
    std::filesystem::create_directory(folder);
    EXPECT_EQ(other.prepare(folder + "/s"), -1);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

}  // namespace
