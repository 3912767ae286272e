// "init", "send", and "link", "unlink", "stop".
#include <fcntl.h>
#include <limits.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "daemon_client.h"
#include "json_convert.h"

namespace ctl {

namespace {

constexpr int kStopTimeoutSeconds = 60;

std::string program_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    std::string self(buf, static_cast<size_t>(n));
    return self.substr(0, self.rfind('/'));
}

// The system filter beside the program (the build tree) or installed with
// it (PREFIX/bin -> PREFIX/share/tidewell).
std::string find_system_filter() {
    std::string dir = program_dir();
    for (const std::string& candidate : {dir + "/system.filter", dir + "/../share/tidewell/system.filter"})
        if (access(candidate.c_str(), R_OK) == 0) return absolute(candidate);
    return dir + "/../share/tidewell/system.filter";
}

}  // namespace

int UsageError(const std::string& text) {
    if (!text.empty()) fail(text);
    std::fputs(UsageText(), stderr);
    return 2;
}

bool ParseId(const std::string& text, const char* what, uint64_t& id) {
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value == 0 || text[0] == '-' || text[0] == '+') {
        fail(std::string(what) + " '" + text + "' is not an id (a positive whole number)");
        return false;
    }
    id = value;
    return true;
}

bool ParseYesNo(const std::string& text, const char* option, bool& value) {
    if (text == "yes" || text == "no") {
        value = text == "yes";
        return true;
    }
    fail(std::string("--") + option + " takes yes or no, not '" + text + "'");
    return false;
}

int Report(const Options& o, const PObject& reply, const std::string& done) {
    if (o.json) std::printf("%s\n", ToJson(reply).dump().c_str());
    if (reply.hasMember("error")) {
        fail("the daemon refused: " + reply["error"].asString().str());
        return 1;
    }
    if (!o.json) std::printf("%s\n", done.c_str());
    return 0;
}

bool LoadSetup(const Options& o, SavedSetup& setup) {
    std::string error;
    if (setup.Load(o.config, error)) return true;
    fail(error);
    return false;
}

int SaveSetup(const SavedSetup& setup) {
    std::string error;
    if (setup.Save(error)) return 0;
    fail("the daemon took the change, but the setup was not saved: " + error);
    return 1;
}

int CmdSend(const Options& o, const PObject& msg) {
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
    std::printf("%s\n", ToJson(reply).dump().c_str());
    return reply.hasMember("error") ? 1 : 0;
}

int CmdInit(const Options& o) {
    if (!o.args.empty()) return UsageError("init takes no arguments besides --config");
    std::string config = o.config;
    std::string dir = ".";
    size_t slash = config.rfind('/');
    if (slash != std::string::npos) dir = config.substr(0, slash == 0 ? 1 : slash);
    dir = absolute(dir);
    std::string base = slash == std::string::npos ? config : config.substr(slash + 1);
    std::string config_path = (dir == "/" ? "" : dir) + "/" + base;
    std::string control = dir + "/tidewell-control.sock";
    std::string ui = dir + "/tidewell-ui.sock";
    if (ui.size() >= sizeof(sockaddr_un{}.sun_path) || control.size() >= sizeof(sockaddr_un{}.sun_path)) {
        fail("the folder " + dir + " is too long a path for the sockets (at most " +
             std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes); put the configuration in a shorter one");
        return 1;
    }
    std::string text =
        "# tidewell-daemon configuration, written by tidewell-ctl init. Start the daemon\n"
        "# with: tidewell-ctl start --config " + config_path + "\n"
        "pid_file_path = \"" + dir + "/tidewell-daemon.pid\"\n"
        "log_file_path = \"" + dir + "/tidewell-daemon.log\"\n"
        "log_level_file_path = \"" + dir + "/tidewell-daemon.levels\"\n"
        "fstat_db_path = \"" + dir + "/file-status.sqlite\"\n"
        "filter_db_path = \"" + dir + "/filter.sqlite\"\n"
        "history_db_path = \"" + dir + "/history.sqlite\"\n"
        "system_filter_path = \"" + find_system_filter() + "\"\n"
        "worker_count = 3\n"
        "# Local-domain sockets, owner-only (mode 0600): only this user can drive the\n"
        "# daemon. (Without socket_path the control socket is TCP on 127.0.0.1, which\n"
        "# any local user can reach.)\n"
        "socket_path = \"" + control + "\"\n"
        "ui_socket_path = \"" + ui + "\"\n"
        "is_foreground = false\n";
    int fd = open(config.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(errno == EEXIST ? config + " exists already; init writes only a new configuration"
                             : "cannot create " + config + ": " + std::strerror(errno));
        return 1;
    }
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok) {
        fail("cannot write " + config + ": " + std::strerror(errno));
        unlink(config.c_str());
        return 1;
    }
    if (o.json) {
        Json j = Json::object();
        j["config"] = config_path;
        j["socket_path"] = control;
        j["ui_socket_path"] = ui;
        std::printf("%s\n", j.dump().c_str());
    } else {
        std::printf("wrote %s (control socket %s, owner-only)\n", config_path.c_str(), control.c_str());
    }
    return 0;
}

}  // namespace ctl
