#include "session/ui_ipc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "base/settings.h"
#include "daemon/ipc_listener.h"
#include "support/temp_dir.h"

namespace {

using tidewell::testing::TempDir;

// Expected wire bytes, spelled out by tag.
std::string str(const std::string& s) {
    return std::string("\x10", 1) + char(s.size() >> 8) + char(s.size() & 0xff) + s;
}
std::string int1(uint8_t v) {
    return std::string("\x01\x01", 2) + char(v);
}
// A negative code as its 64-bit two's complement, which takes 8 bytes.
std::string neg(int v) {
    uint64_t u = static_cast<uint64_t>(static_cast<int64_t>(v));
    std::string out("\x01\x08", 2);
    for (int shift = 56; shift >= 0; shift -= 8) out += char((u >> shift) & 0xff);
    return out;
}
const std::string kMap("\x42", 1);
const std::string kEnd("\x40", 1);

class UIIPCTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int attempt = 0; attempt < 50 && fd < 0; ++attempt) {
            port = 20000 + (getpid() * 13 + attempt * 197) % 40000;
            fd = IPCListener::OpenSocket(port);
        }
        ASSERT_GE(fd, 0);
        configure("ui_port = " + std::to_string(port) + "\n");
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        Settings::getInstance().resetToDefaults();
    }
    void configure(const std::string& conf) {
        ASSERT_EQ(Settings::getInstance().loadConfigSettings(dir.write("ui.conf", conf)), 0);
    }
    // Everything one notification connection carried, up to its close.
    std::string received(int listen_fd) {
        pollfd p = {listen_fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return "<nothing>";
        int c = accept(listen_fd, nullptr, nullptr);
        std::string bytes;
        char buf[256];
        ssize_t n;
        while ((n = read(c, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
        close(c);
        return bytes;
    }
    static Event event(uint64_t sess, const char* path, bool dir, Event::Type type) {
        Event ev;
        ev.m_sess_id = sess;
        ev.m_path = path;
        ev.m_type = type;
        if (dir) ev.setDir();
        ev.setServerEvent();  // higher mode bits do not leak into "is_dir"
        return ev;
    }

    TempDir dir;
    int port = 0;
    int fd = -1;
};

TEST_F(UIIPCTest, ErrorNoticesGoOutWithMembersInKeyOrder) {
    ASSERT_EQ(UI_IPC::ReportConnectionErrorToUI(7, 3, -2), 0);
    EXPECT_EQ(received(fd), kMap + str("conn_id") + int1(7) + str("connection_id") + int1(7) + str("error_type") +
                                neg(-2) + str("notify") + str("error") + str("sess_id") + int1(3) + kEnd);

    ASSERT_EQ(UI_IPC::ReportSessionErrorToUI(7, 3, -18), 0);
    EXPECT_EQ(received(fd), kMap + str("conn_id") + int1(7) + str("error_type") + neg(-18) + str("notify") +
                                str("error") + str("sess_id") + int1(3) + str("session_id") + int1(3) + kEnd);
}

TEST_F(UIIPCTest, FileNoticesCarryTheEventMembers) {
    struct Case {
        int (*report)(const Event&);
        const char* notify;
    };
    const Case cases[] = {
        {&UI_IPC::ReportFileSyncingEventToUI, "syncing_file"},
        {&UI_IPC::ReportFileEventToUI, "recent_file"},
        {&UI_IPC::ReportFileROToUI, "readonly_file"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.report(event(4, "/docs/a b.txt", false, Event::EV_MODIFY)), 0) << c.notify;
        EXPECT_EQ(received(fd), kMap + str("event_type") + int1(Event::EV_MODIFY) + str("is_dir") + int1(0) +
                                    str("notify") + str(c.notify) + str("path") + str("/docs/a b.txt") +
                                    str("session_id") + int1(4) + kEnd)
            << c.notify;
    }
    ASSERT_EQ(UI_IPC::ReportFileEventToUI(event(4, "/docs", true, Event::EV_REMOVE)), 0);
    EXPECT_EQ(received(fd), kMap + str("event_type") + int1(Event::EV_REMOVE) + str("is_dir") + int1(1) +
                                str("notify") + str("recent_file") + str("path") + str("/docs") + str("session_id") +
                                int1(4) + kEnd);
}

TEST_F(UIIPCTest, LockedFileNoticeNestsReasonAndCode) {
    ASSERT_EQ(UI_IPC::ReportFileLockedEventToUI(event(2, "/x.doc", false, Event::EV_CREATE), -23), 0);
    EXPECT_EQ(received(fd), kMap + str("error") + kMap + str("code") + neg(-23) + str("reason") + str("file locked") +
                                kEnd + str("is_dir") + int1(0) + str("notify") + str("locked_file") + str("path") +
                                str("/x.doc") + str("session_id") + int1(2) + kEnd);
}

TEST_F(UIIPCTest, NoListenerCostsOnlyTheNotice) {
    close(fd);
    fd = -1;
    EXPECT_EQ(UI_IPC::ReportConnectionErrorToUI(1, 1, -2), -1);
    configure("ui_socket_path = \"" + dir.file("absent.sock") + "\"\n");
    EXPECT_EQ(UI_IPC::ReportSessionErrorToUI(1, 1, -2), -1);
}

TEST_F(UIIPCTest, DomainSocketModeSendsToTheSocket) {
    std::string path = dir.file("ui.sock");
    int unix_fd = IPCListener::OpenDomainSocket(path);
    ASSERT_GE(unix_fd, 0);
    configure("ui_port = " + std::to_string(port) + "\nui_socket_path = \"" + path + "\"\n");
    ASSERT_EQ(UI_IPC::ReportConnectionErrorToUI(7, 3, -2), 0);
    EXPECT_EQ(received(unix_fd).substr(0, 1 + str("conn_id").size()), kMap + str("conn_id"));
    pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing goes to the TCP port";
    close(unix_fd);
}

// A UI that listens but never accepts: once its accept queue is full the
// kernel drops the handshake, and an unbounded connect would hold the sender
// (and whatever it serves) for a long time. Each notice costs at most about
// half a second and is dropped.
TEST_F(UIIPCTest, AListenerThatNeverAcceptsCostsAtMostTheConnectBound) {
    struct Mode {
        const char* name;
        bool unix_socket;
    };
    for (const Mode mode : {Mode{"tcp", false}, Mode{"unix", true}}) {
        SCOPED_TRACE(mode.name);
        int stuck = -1;
        const std::string sock_path = dir.file("stuck.sock");
        if (mode.unix_socket) {
            stuck = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
            ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            configure("ui_socket_path = \"" + sock_path + "\"\n");
        } else {
            stuck = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr = {};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(bind(stuck, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            socklen_t len = sizeof addr;
            ASSERT_EQ(getsockname(stuck, reinterpret_cast<sockaddr*>(&addr), &len), 0);
            configure("ui_port = " + std::to_string(ntohs(addr.sin_port)) + "\n");
        }
        ASSERT_EQ(listen(stuck, 0), 0);  // room for one pending connection

        int dropped = 0;
        for (int i = 0; i < 4; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (UI_IPC::ReportFileSyncingEventToUI(event(1, "/a", false, Event::EV_MODIFY)) < 0) ++dropped;
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_LT(took, std::chrono::seconds(3)) << "notice " << i;
        }
        EXPECT_GE(dropped, 2) << "the accept queue never filled";
        close(stuck);
        unlink(sock_path.c_str());
    }
}

}  // namespace
