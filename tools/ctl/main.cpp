// tidewell-ctl: drives tidewell-daemon from the command line, standing in for
// the UI process.
//
//   tidewell-ctl start --config FILE [--json] [--daemon PROGRAM]
//   tidewell-ctl send [--config FILE] JSON
//   tidewell-ctl link|unlink|stop [--config FILE]
//   tidewell-ctl probe --server HOST:PORT --token TOKEN [...]   (see probe.h)
//   (--verbose shows the library modules' own log lines on standard error)
//
// "start" listens where the daemon sends its notifications, starts the
// daemon, receives its control port, records where it listens in FILE.state,
// and prints one line per notification until the daemon exits.
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/settings.h"
#include "daemon/ipc_listener.h"
#include "session/ipc_sender.h"
#include "json_convert.h"
#include "net/channel.h"
#include "notice_text.h"
#include "probe.h"
#include "stream/pstream.h"

namespace {

using ctl::Json;

constexpr int kStartTimeoutSeconds = 30;
constexpr int kStopTimeoutSeconds = 60;

void fail(const std::string& text) {
    std::fprintf(stderr, "tidewell-ctl: %s\n", text.c_str());
}

int usage_error(const std::string& text) {
    if (!text.empty()) fail(text);
    std::fprintf(stderr,
                 "usage: tidewell-ctl start --config FILE [--json] [--daemon PROGRAM]\n"
                 "       tidewell-ctl send [--config FILE] JSON\n"
                 "       tidewell-ctl link|unlink|stop [--config FILE]\n"
                 "%s"
                 "Options: --json prints notifications as JSON lines; --daemon PROGRAM runs\n"
                 "another daemon binary; --verbose shows the library's log lines.\n"
                 "FILE defaults to $TIDEWELL_CONFIG.\n",
                 kProbeUsage);
    return 2;
}

struct Options {
    std::string command;
    std::string config;
    std::string daemon;
    bool json = false;
    bool verbose = false;
    std::vector<std::string> args;
};

// Where a running daemon listens, as "start" recorded it.
struct State {
    long daemon_pid = 0;
    long ctl_pid = 0;
    int daemon_port = 0;
    std::string socket_path;
};

std::string absolute(const std::string& path) {
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf)) return buf;
    return path;
}

std::string state_path(const std::string& config) {
    return absolute(config) + ".state";
}

bool write_state(const std::string& path, const State& s) {
    Json j = Json::object();
    j["daemon_pid"] = s.daemon_pid;
    j["ctl_pid"] = s.ctl_pid;
    if (s.socket_path.empty())
        j["daemon_port"] = s.daemon_port;
    else
        j["socket_path"] = s.socket_path;
    std::string tmp = path + ".tmp";
    FILE* fp = std::fopen(tmp.c_str(), "w");
    if (!fp) return false;
    std::string text = j.dump() + "\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = std::fclose(fp) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// 1: read; 0: no state file; -1: unreadable.
int read_state(const std::string& path, State& s) {
    FILE* fp = std::fopen(path.c_str(), "r");
    if (!fp) return errno == ENOENT ? 0 : -1;
    std::string text;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), fp)) > 0) text.append(buf, n);
    std::fclose(fp);
    Json j = Json::parse(text, nullptr, false);
    if (!j.is_object()) return -1;
    s.daemon_pid = j.value("daemon_pid", 0L);
    s.ctl_pid = j.value("ctl_pid", 0L);
    s.daemon_port = j.value("daemon_port", 0);
    s.socket_path = j.value("socket_path", std::string());
    return 1;
}

bool process_alive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// A connected socket to the daemon, or -1 with `error` set.
int connect_daemon(const State& s, std::string& error) {
    if (!s.socket_path.empty()) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (s.socket_path.size() >= sizeof(addr.sun_path)) {
            error = "socket path too long: " + s.socket_path;
            return -1;
        }
        std::memcpy(addr.sun_path, s.socket_path.data(), s.socket_path.size());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            error = "cannot connect to " + s.socket_path + ": " + std::strerror(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
        return fd;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(s.daemon_port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = "cannot connect to 127.0.0.1:" + std::to_string(s.daemon_port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// Finds the running daemon of `config`: 0, or 1 after telling why none runs.
int find_daemon(const std::string& config, State& s) {
    std::string path = state_path(config);
    int rc = read_state(path, s);
    if (rc == 0) {
        fail("no daemon is running for " + config + " (no state file " + path +
             "; start one with: tidewell-ctl start --config " + config + ")");
        return 1;
    }
    if (rc < 0) {
        fail("cannot read the state file " + path);
        return 1;
    }
    if (!process_alive(s.daemon_pid)) {
        fail("no daemon is running for " + config + " (pid " + std::to_string(s.daemon_pid) +
             " is gone; stale state file " + path + " removed)");
        unlink(path.c_str());
        return 1;
    }
    return 0;
}

// Sends one request; fills `reply` unless the daemon closes without one.
// 0: replied; 1: closed without reply; -1: failed (told).
int request(const State& s, const std::string& config, const PObject& msg, PObject& reply) {
    std::string error;
    int fd = connect_daemon(s, error);
    if (fd < 0) {
        fail("no daemon is running for " + config + " (" + error + ")");
        return -1;
    }
    IPCSender sender;
    if (sender.assign(fd) < 0 || sender.send(msg) < 0) {
        fail("failed to send the request to the daemon");
        return -1;
    }
    if (sender.recv(reply) < 0) return 1;
    return 0;
}

bool wait_until_stopped(const std::string& config, const State& s) {
    std::string path = state_path(config);
    for (int i = 0; i < kStopTimeoutSeconds * 10; ++i) {
        if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
        if (!process_alive(s.daemon_pid)) {
            // Its "start" is gone too: nobody else will remove the record.
            if (!process_alive(s.ctl_pid)) unlink(path.c_str());
            return true;
        }
        usleep(100 * 1000);
    }
    return false;
}

int cmd_send(const Options& o, const PObject& msg) {
    State s;
    if (find_daemon(o.config, s) != 0) return 1;
    PObject reply;
    int rc = request(s, o.config, msg, reply);
    if (rc < 0) return 1;
    bool is_stop = msg["action"].asString() == "stop";
    if (rc == 1) {
        if (!is_stop) {
            fail("the daemon closed the connection without a reply");
            return 1;
        }
        if (!wait_until_stopped(o.config, s)) {
            fail("the daemon (pid " + std::to_string(s.daemon_pid) + ") did not exit within " +
                 std::to_string(kStopTimeoutSeconds) + " s");
            return 1;
        }
        std::printf("tidewell-daemon stopped\n");
        return 0;
    }
    std::printf("%s\n", ctl::ToJson(reply).dump().c_str());
    return reply.hasMember("error") ? 1 : 0;
}

// --- start ------------------------------------------------------------------

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

int cmd_start(const Options& o) {
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

    std::string program = o.daemon.empty() ? default_daemon_program() : o.daemon;
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

int parse(int argc, char** argv, Options& o) {
    if (argc < 2) return usage_error("");
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config" || a == "--daemon") {
            if (i + 1 >= argc) return usage_error(a + " needs a value");
            (a == "--config" ? o.config : o.daemon) = argv[++i];
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--help" || a == "-h") {
            usage_error("");
            return 1;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return usage_error("unknown option " + a);
        } else {
            o.args.push_back(a);
        }
    }
    if (o.config.empty()) {
        const char* env = std::getenv("TIDEWELL_CONFIG");
        if (env) o.config = env;
    }
    if (o.config.empty()) return usage_error("no configuration: give --config FILE or set TIDEWELL_CONFIG");
    return 0;
}

}  // namespace

// The library modules log their own view of a failure (a peer closing, a
// refused connection) at warning level; the tool reports failures in its own
// words, so their lines are shown only with --verbose.
void quiet_library_logs() {
    int fd = memfd_create("tidewell-ctl-levels", MFD_CLOEXEC);
    if (fd < 0) return;
    static const char levels[] =
        "channel_debug = 2\nstream = 2\nipc = 2\nclient_debug = 2\nchannel_ui_debug = 2\nconnection_debug = 2\n"
        "syncer_debug = 2\n";
    if (write(fd, levels, sizeof(levels) - 1) == static_cast<ssize_t>(sizeof(levels) - 1))
        Logger::Initialize(Logger::STDERR_LOGGER, "", ustring("/proc/self/fd/" + std::to_string(fd)), 50);
    close(fd);
}

int main(int argc, char** argv) {
    Options o;
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage_error("");
        return 0;
    }
    // The probe needs no daemon and no configuration.
    if (argc >= 2 && std::strcmp(argv[1], "probe") == 0) {
        ProbeOptions probe;
        std::string error;
        if (ParseProbeOptions(argc - 2, argv + 2, probe, error) != 0) return usage_error(error);
        if (!probe.verbose) quiet_library_logs();
        return RunProbe(probe, stdout, stderr);
    }
    int rc = parse(argc, argv, o);
    if (rc != 0) return rc == 1 ? 0 : rc;
    if (!o.verbose) quiet_library_logs();

    if (o.command == "start") {
        if (!o.args.empty()) return usage_error("start takes no arguments besides its options");
        return cmd_start(o);
    }
    if (o.command == "send") {
        if (o.args.size() != 1) return usage_error("send takes one JSON request");
        Json j = Json::parse(o.args[0], nullptr, false);
        if (j.is_discarded()) {
            fail("the request is not valid JSON: " + o.args[0]);
            return 2;
        }
        if (!j.is_object()) {
            fail("a request is a JSON object, such as {\"action\": \"link\"}");
            return 2;
        }
        PObject msg;
        std::string error;
        if (!ctl::FromJson(j, msg, error)) {
            fail(error);
            return 2;
        }
        return cmd_send(o, msg);
    }
    if (o.command == "link" || o.command == "unlink" || o.command == "stop") {
        if (!o.args.empty()) return usage_error(o.command + " takes no arguments");
        PObject msg;
        msg["action"] = ustring(o.command);
        return cmd_send(o, msg);
    }
    return usage_error("unknown command " + o.command);
}
