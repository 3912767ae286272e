// "start": listens where the daemon sends its notices, starts the daemon,
// waits until it listens, records where (FILE.state), puts back the
// connections and sessions that were set up (linking the daemon first), and
// prints one line per notice until the daemon exits.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "commands.h"
#include "daemon/ipc_listener.h"
#include "daemon_client.h"
#include "json_convert.h"
#include "net/channel.h"
#include "notice_text.h"
#include "session/ipc_sender.h"
#include "session_folders.h"
#include "setup_requests.h"
#include "setup_state.h"
#include "stream/pstream.h"

namespace ctl {

namespace {

constexpr int kStartTimeoutSeconds = 30;

int g_signal_pipe[2] = {-1, -1};

void on_signal(int) {
    char byte = 1;
    ssize_t ignored = write(g_signal_pipe[1], &byte, 1);
    (void)ignored;
}

std::string default_daemon_program() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "tidewell-daemon";
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/') + 1) + "tidewell-daemon";
}

void print_line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Where the daemon's notifications arrive: a TCP port or a socket file.
struct UiListener {
    int fd = -1;
    std::string path;

    ~UiListener() {
        if (fd < 0) return;
        close(fd);
        if (!path.empty()) unlink(path.c_str());
    }
    // Waits up to `ms` for a connection (or a signal); the accepted socket
    // or -1.
    int accept_within(int ms) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        if (poll(fds, 2, ms) <= 0 || !(fds[0].revents & POLLIN)) return -1;
        return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// Reads one value from an accepted connection; false when none arrives.
bool read_one(int fd, PObject& msg) {
    Channel c;
    if (c.Open(fd, true) < 0) {
        close(fd);
        return false;
    }
    c.SetTimeout(5);
    PStream stream;
    return stream.Recv(c, msg) == 0;
}

// One line of what the restore did.
void restore_line(const Options& o, const char* kind, uint64_t id, const std::string& what, const PObject& reply) {
    std::string error = reply.hasMember("error") ? reply["error"].asString().str() : "";
    if (o.json) {
        Json j = Json::object();
        j["restored"] = Json::object();
        j["restored"]["kind"] = kind;
        if (id != 0) j["restored"]["id"] = id;
        j["restored"]["what"] = what;
        if (!error.empty()) j["restored"]["error"] = error;
        print_line(j.dump());
        return;
    }
    std::string head = std::string(kind) + (id != 0 ? " " + std::to_string(id) : "");
    print_line(error.empty() ? head + ": " + what : head + ": " + what + " failed: " + error);
}

// Puts the setup back into the daemon just started: link, every
// connection, every session (resumed unless it was paused).
void restore_setup(const Options& o, const State& s) {
    SavedSetup setup;
    std::string error;
    if (!setup.Load(o.config, error)) {
        print_line("tidewell-ctl: the setup is not restored: " + error);
        return;
    }
    if (setup.connections.empty() && setup.sessions.empty()) return;
    auto send = [&](const PObject& msg, PObject& reply) {
        int rc = request(s, o.config, msg, reply);
        if (rc != 0 && !reply.hasMember("error")) reply["error"] = "no reply from the daemon";
    };
    PObject link;
    link["action"] = "link";
    PObject reply;
    send(link, reply);
    restore_line(o, "daemon", 0, "linked", reply);
    if (reply.hasMember("error") && reply["error"].asString() != "Already linked") return;
    for (const ConnectionSetup& c : setup.connections) {
        PObject r;
        send(ConnectionRequest(c, "link_connection"), r);
        restore_line(o, "connection", c.id, c.server + ":" + std::to_string(c.port) + " added", r);
    }
    for (const SessionSetup& session : setup.sessions) {
        PObject r;
        std::string prepare_error;
        if (!PrepareConfigDir(session.config_dir, prepare_error)) r["error"] = ustring(prepare_error);
        else
            send(AddSessionRequest(session), r);
        restore_line(o, "session", session.id, session.folder + " added", r);
        if (r.hasMember("error") || session.paused) continue;
        PObject resumed;
        send(PauseRequest(session.id, false), resumed);
        restore_line(o, "session", session.id, "resumed", resumed);
    }
}

}  // namespace

int CmdStart(const Options& o) {
    Settings& settings = Settings::getInstance();
    if (settings.loadConfigSettings(ustring(o.config)) != 0) {
        fail("cannot use the configuration " + o.config + " (missing, unreadable, or holding an invalid line)");
        return 1;
    }
    std::string spath = state_path(o.config);
    State old;
    if (read_state(spath, old) == 1) {
        if (process_alive(old.daemon_pid)) {
            fail("a daemon is already running for " + o.config + " (pid " + std::to_string(old.daemon_pid) +
                 "); stop it with: tidewell-ctl stop --config " + o.config);
            return 1;
        }
        unlink(spath.c_str());
    }

    std::string ui_socket = settings.getUISocketPath().str();
    std::string control_socket = settings.getSocketPath().str();
    int ui_port = settings.getUIPort();

    UiListener ui;
    if (ui_socket.empty()) {
        ui.fd = IPCListener::OpenSocket(ui_port);
        if (ui.fd < 0) {
            fail("cannot listen on 127.0.0.1:" + std::to_string(ui_port) +
                 " (ui_port); is another UI or program using that port?");
            return 1;
        }
    } else {
        ui.fd = IPCListener::OpenDomainSocket(ui_socket);
        if (ui.fd < 0) {
            fail("cannot listen on the UI socket " + ui_socket +
                 " (a file that is not a socket, a live socket, or a path too long)");
            return 1;
        }
        ui.path = ui_socket;
    }

    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail(std::string("pipe: ") + std::strerror(errno));
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!control_socket.empty()) {
        // Readiness is seen by connecting there: nobody else may answer.
        State other;
        other.socket_path = control_socket;
        std::string error;
        int fd = connect_daemon(other, error);
        if (fd >= 0) {
            close(fd);
            fail("another process already listens on the control socket " + control_socket);
            return 1;
        }
    }

    std::string program = o.has("daemon") ? o.value("daemon") : default_daemon_program();
    pid_t child = fork();
    if (child < 0) {
        fail(std::string("fork: ") + std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        // The daemon's own output goes to standard error, so that standard
        // output carries the notification lines only.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execl(program.c_str(), program.c_str(), o.config.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "tidewell-ctl: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }

    State s;
    s.daemon_pid = child;
    s.ctl_pid = getpid();
    s.socket_path = control_socket;
    int status = 0;
    bool exited = false;
    bool stop_sent = false;

    auto check_child = [&]() {
        if (!exited && waitpid(child, &status, WNOHANG) == child) exited = true;
        return exited;
    };
    auto drain_signals = [&]() {
        char buf[16];
        bool any = false;
        while (read(g_signal_pipe[0], buf, sizeof(buf)) > 0) any = true;
        return any;
    };

    // Wait until the daemon listens: its port hand-back in TCP mode, its
    // socket accepting connections in domain-socket mode.
    bool ready = false;
    for (int i = 0; i < kStartTimeoutSeconds * 4 && !ready && !check_child(); ++i) {
        if (drain_signals()) {
            kill(child, SIGTERM);
            continue;
        }
        if (!control_socket.empty()) {
            std::string error;
            int fd = connect_daemon(s, error);
            if (fd >= 0) {
                // An empty request: the daemon answers it with {"ack": "ok"}.
                IPCSender probe;
                PObject empty_request;
                empty_request.asMap();
                PObject reply;
                ready = probe.assign(fd) == 0 && probe.send(empty_request, true, reply) == 0;
            }
            if (!ready) usleep(250 * 1000);
            continue;
        }
        int fd = ui.accept_within(250);
        PObject msg;
        if (fd >= 0 && read_one(fd, msg) && msg["daemon_port"].isInteger()) {
            s.daemon_port = static_cast<int>(msg["daemon_port"].asUInt64());
            ready = true;
        }
    }
    if (!ready) {
        if (!exited) {
            fail("the daemon did not become ready within " + std::to_string(kStartTimeoutSeconds) + " s; stopping it");
            kill(child, SIGTERM);
            waitpid(child, &status, 0);
        } else {
            fail("tidewell-daemon exited (status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
                 ") before it was ready; its log is " + settings.getLogFilePath().str());
        }
        return 1;
    }
    if (!write_state(spath, s)) {
        fail("cannot write the state file " + spath + ": " + std::strerror(errno));
        kill(child, SIGTERM);
        waitpid(child, &status, 0);
        return 1;
    }

    std::string where = control_socket.empty() ? "127.0.0.1:" + std::to_string(s.daemon_port) : control_socket;
    if (o.json) {
        Json j = Json::object();
        j["started"] = Json::object();
        j["started"]["daemon_pid"] = s.daemon_pid;
        if (control_socket.empty())
            j["started"]["daemon_port"] = s.daemon_port;
        else
            j["started"]["socket_path"] = control_socket;
        print_line(j.dump());
    } else {
        print_line("tidewell-daemon started (pid " + std::to_string(child) + "), control socket " + where);
    }
    restore_setup(o, s);

    while (!check_child()) {
        if (drain_signals() && !stop_sent) {
            // The same orderly stop as "tidewell-ctl stop".
            stop_sent = true;
            PObject stop;
            stop["action"] = "stop";
            PObject reply;
            std::string error;
            int fd = connect_daemon(s, error);
            IPCSender sender;
            if (fd < 0 || sender.assign(fd) < 0 || sender.send(stop) < 0) kill(child, SIGTERM);
        }
        int fd = ui.accept_within(250);
        PObject notice;
        if (fd < 0 || !read_one(fd, notice)) continue;
        print_line(o.json ? ctl::ToJson(notice, true).dump() : ctl::NoticeText(notice));
    }

    State current;
    if (read_state(spath, current) == 1 && current.ctl_pid == s.ctl_pid) unlink(spath.c_str());
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (o.json) {
        Json j = Json::object();
        j["exited"] = Json::object();
        j["exited"]["daemon_pid"] = s.daemon_pid;
        j["exited"]["status"] = code;
        print_line(j.dump());
    } else {
        print_line("tidewell-daemon exited (status " + std::to_string(code) + ")");
    }
    return code == 0 ? 0 : 1;
}


}  // namespace ctl
