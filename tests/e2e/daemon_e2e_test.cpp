// tidewell-daemon as a real process: start, port hand-back, requests, stop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <vector>

#include "daemon_harness.h"

namespace tidewell::e2e {
namespace {

// A local client that connects, starts a request (a map whose first key is
// to be 65535 bytes long) and then sends one byte of it every 200 ms, for up
// to a minute or until the daemon closes the connection.
class TricklingClient {
public:
    explicit TricklingClient(int port) : fd_(connect_tcp(port)) {
        if (fd_ < 0 || send(fd_, "\x42\x10\xFF\xFF", 4, MSG_NOSIGNAL) != 4) {
            closed_ = true;
            return;
        }
        thread_ = std::thread([this] {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!quit_.load() && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (send(fd_, "k", 1, MSG_NOSIGNAL) != 1) {
                    closed_ = true;
                    return;
                }
                sent_.fetch_add(1);
            }
        });
    }
    ~TricklingClient() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    // Waits until `n` bytes have trickled out.
    bool trickled(int n) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sent_.load() < n && !closed_.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return sent_.load() >= n;
    }
    // Waits up to `seconds` for the daemon to close the connection.
    bool closed_within(int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!closed_.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return closed_.load();
    }

private:
    int fd_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> closed_{false};
    std::atomic<int> sent_{0};
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class DaemonE2ETest : public ::testing::Test {
protected:
    // Starts the daemon and takes its hand-back: the port it listens on.
    int start(TestUI& ui, DaemonConfig& conf) {
        EXPECT_TRUE(daemon.start(conf.write()));
        PObject handback;
        EXPECT_TRUE(ui.receive(handback)) << conf.log();
        EXPECT_EQ(handback.asMap().size(), 1u) << handback.toString().c_str();
        return static_cast<int>(handback["daemon_port"].asUInt64());
    }
    PObject ask(int port, const PObject& msg) {
        PObject reply;
        EXPECT_EQ(request_on(connect_tcp(port), msg, reply), Reply::kReplied) << msg.toString().c_str();
        return reply;
    }
    void stop_and_expect_clean_exit(int port, DaemonConfig& conf) {
        PObject reply;
        EXPECT_EQ(request_on(connect_tcp(port), action("stop"), reply), Reply::kClosed) << "stop gets no reply";
        EXPECT_TRUE(reply.isNull());
        EXPECT_EQ(daemon.wait_exit(), 0) << conf.log();
        EXPECT_NE(access(conf.values["pid_file_path"].c_str(), F_OK), 0) << "the pid file is removed";
    }

    DaemonProcess daemon;
};

TEST_F(DaemonE2ETest, HandsBackItsPortAndServesLinkUnlinkAndStop) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);
    EXPECT_EQ(port, ui.port + 1);

    std::string pid_text = testing::TempDir::read(conf.values["pid_file_path"]);
    EXPECT_EQ(pid_text, std::to_string(daemon.pid) + "\n");

    PObject no_action;
    no_action["session_id"] = uint64_t{3};
    EXPECT_EQ(ask(port, no_action), ack_only());
    EXPECT_EQ(ask(port, action("no_such_action")), ack_only());

    EXPECT_EQ(ask(port, action("link")), ack_only()) << conf.log();
    EXPECT_EQ(ask(port, action("unlink")), ack_only());
    EXPECT_EQ(ask(port, action("link")), ack_only()) << conf.log();
    PObject again = ask(port, action("link"));
    EXPECT_EQ(again["error"].asString(), "Already linked");
    EXPECT_EQ(again["ack"].asString(), "ok");

    stop_and_expect_clean_exit(port, conf);
    std::string log = conf.log();
    EXPECT_NE(log.find("<<< Unknown IPC action: no_such_action"), std::string::npos);
    EXPECT_NE(log.find("main thread down"), std::string::npos);
}

TEST_F(DaemonE2ETest, TakenPortIsSkippedAndTheHandBackNamesTheBoundOne) {
    TestUI ui(2);
    ASSERT_GE(ui.fd, 0);
    int holder = IPCListener::OpenSocket(ui.port + 1);
    ASSERT_GE(holder, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);
    EXPECT_EQ(port, ui.port + 2);
    EXPECT_EQ(ask(port, action("anything")), ack_only());
    IPCListener::CloseSocket(holder);
    stop_and_expect_clean_exit(port, conf);
}

TEST_F(DaemonE2ETest, BrokenAndRandomRequestsLeaveTheDaemonServing) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);

    // A map cut off in the middle of its first key.
    {
        int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        const char partial[] =
            "\x42\x10\x00\x06"
            "act";
        ASSERT_EQ(write(fd, partial, sizeof(partial) - 1), static_cast<ssize_t>(sizeof(partial) - 1));
        close(fd);
    }
    EXPECT_EQ(ask(port, action("after_partial")), ack_only());

    // Random bytes, the sender half-closing so that the daemon sees the end.
    std::mt19937 rng(20261210);
    for (int round = 0; round < 20; ++round) {
        std::string junk(1 + rng() % 600, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
        shutdown(fd, SHUT_WR);
        pollfd p = {fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "round " << round;
        char buf[512];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        close(fd);
        EXPECT_EQ(ask(port, action("after_junk")), ack_only()) << "round " << round;
    }
    stop_and_expect_clean_exit(port, conf);
    EXPECT_NE(conf.log().find("Failed to recieve message from channel."), std::string::npos);
}

TEST_F(DaemonE2ETest, EightClientsSendingAThousandRequestsAreEachAnswered) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    conf.values["log_level_file_path"] = "";  // keep the log small
    int port = start(ui, conf);

    constexpr int kClients = 8;
    constexpr int kPerClient = 125;
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kPerClient; ++i) {
                PObject msg;
                msg["action"] = "load_test";
                msg["client"] = static_cast<uint64_t>(c);
                msg["n"] = static_cast<uint64_t>(i);
                PObject reply;
                if (request_on(connect_tcp(port), msg, reply) == Reply::kReplied && reply == ack_only()) ++answered;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered.load(), kClients * kPerClient);
    stop_and_expect_clean_exit(port, conf);
}

TEST_F(DaemonE2ETest, DomainSocketModeListensOwnerOnlyWithoutHandBack) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    std::string path = conf.dir.file("control.sock");
    conf.values["socket_path"] = path;
    ASSERT_TRUE(daemon.start(conf.write()));

    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; ++i) {
        fd = connect_unix(path);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    PObject reply;
    ASSERT_EQ(request_on(fd, action("link"), reply), Reply::kReplied) << conf.log();
    EXPECT_EQ(reply, ack_only());
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(ui.pending(0)) << "no port is handed back in domain-socket mode";

    EXPECT_EQ(request_on(connect_unix(path), action("stop"), reply), Reply::kClosed);
    EXPECT_EQ(daemon.wait_exit(), 0) << conf.log();
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file is removed at stop";
}

TEST_F(DaemonE2ETest, TermAndIntStopLikeStop) {
    for (int sig : {SIGTERM, SIGINT}) {
        TestUI ui(1);
        ASSERT_GE(ui.fd, 0);
        DaemonConfig conf(ui.port);
        int port = start(ui, conf);
        EXPECT_EQ(ask(port, action("link")), ack_only());
        kill(daemon.pid, sig);
        EXPECT_EQ(daemon.wait_exit(), 0) << "signal " << sig << "\n" << conf.log();
        EXPECT_NE(access(conf.values["pid_file_path"].c_str(), F_OK), 0);
        EXPECT_NE(conf.log().find("unlink daemon"), std::string::npos);
    }
}

TEST_F(DaemonE2ETest, ASlowClientDelaysOthersByNoMoreThanTheRequestDeadline) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);
    // Connections are taken in the order they came: the slow one first.
    TricklingClient slow(port);
    ASSERT_TRUE(slow.trickled(2));
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(port, action("after_slow")), ack_only());
    // The deadline is 5 s; the rest is room for a loaded machine.
    EXPECT_LT(seconds_since(asked), 20.0);
    EXPECT_TRUE(slow.closed_within(20)) << "the slow request was given up";
    stop_and_expect_clean_exit(port, conf);
    EXPECT_NE(conf.log().find("control request not complete within 5 seconds; connection closed"), std::string::npos);
}

TEST_F(DaemonE2ETest, TermStopsTheDaemonWhileAClientTrickles) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);
    EXPECT_EQ(ask(port, action("link")), ack_only());
    TricklingClient slow(port);
    ASSERT_TRUE(slow.trickled(5));
    auto signalled = std::chrono::steady_clock::now();
    kill(daemon.pid, SIGTERM);
    EXPECT_EQ(daemon.wait_exit(30000), 0) << conf.log();
    EXPECT_LT(seconds_since(signalled), 15.0);
    EXPECT_NE(conf.log().find("unlink daemon"), std::string::npos);
}

TEST_F(DaemonE2ETest, OversizedRequestsAreRefusedAndTheDaemonServesOn) {
    TestUI ui(1);
    ASSERT_GE(ui.fd, 0);
    DaemonConfig conf(ui.port);
    int port = start(ui, conf);
    PObject many = action("many");
    for (int i = 0; i < 70000; ++i) many["list"].asArray().push_back(PObject(static_cast<uint64_t>(i)));
    PObject deep = action("deep");
    PObject* level = &deep["nested"];
    for (int i = 0; i < 20; ++i) level = &(*level)["next"];
    *level = "bottom";
    PObject wordy = action("wordy");
    for (int i = 0; i < 80; ++i) wordy["text" + std::to_string(i)] = ustring(std::string(60000, 'w'));
    for (const PObject* request : {&many, &deep, &wordy}) {
        SCOPED_TRACE((*request)["action"].asString().c_str());
        // No reply; the daemon may close before the whole request is sent.
        PObject reply;
        EXPECT_NE(request_on(connect_tcp(port), *request, reply), Reply::kReplied);
        EXPECT_EQ(ask(port, action("after")), ack_only());
    }
    stop_and_expect_clean_exit(port, conf);
    std::string log = conf.log();
    for (const char* refusal : {"PStream: more than 65536 values in one message", "PStream: nesting deeper than 16 levels",
                                "PStream: more than 4194304 bytes of text in one message"})
        EXPECT_NE(log.find(refusal), std::string::npos) << refusal;
}

TEST_F(DaemonE2ETest, StartFailuresEndTheProcessWithMinusOne) {
    // Nobody listens on ui_port: the hand-back fails and the daemon stops.
    int port = 0;
    int probe = listen_any(port);
    ASSERT_GE(probe, 0);
    close(probe);
    DaemonConfig conf(port);
    ASSERT_TRUE(daemon.start(conf.write()));
    EXPECT_EQ(daemon.wait_exit(), 255);
    EXPECT_NE(conf.log().find("failed to send daemon port back to ui"), std::string::npos);
    EXPECT_NE(access(conf.values["pid_file_path"].c_str(), F_OK), 0);

    // A log that cannot be opened.
    DaemonConfig bad_log(port);
    bad_log.values["log_file_path"] = bad_log.dir.file("missing/dir/daemon.log");
    ASSERT_TRUE(daemon.start(bad_log.write()));
    EXPECT_EQ(daemon.wait_exit(), 255);

    // Three arguments after the program name.
    pid_t pid = fork();
    if (pid == 0) {
        std::string program = kBin + "/tidewell-daemon";
        execl(program.c_str(), program.c_str(), "a", "b", "c", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

}  // namespace
}  // namespace tidewell::e2e
