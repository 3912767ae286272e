#include "daemon/daemon_main.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "base/logger.h"
#include "base/settings.h"
#include "daemon/control_socket.h"
#include "daemon/stop_signal.h"
#include "daemon/tidewell_app.h"

namespace {

const char* const kComponent = "client_debug";
// The configuration path, terminator included, must fit this many bytes.
constexpr size_t kMaxConfigPath = 8192;

int init_open_ssl() {
    // OpenSSL 3 is thread-safe by itself and allocates through malloc; only
    // the error texts are to be loaded before any thread uses it.
    return OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) == 1 ? 0 : -1;
}

void create_pid_file() {
    ustring path = Settings::getInstance().getPidFilePath();
    if (path.empty()) return;
    FILE* fp = std::fopen(path.c_str(), "w");
    if (!fp) {
        TW_ERROR(kComponent, "failed to create pid file at '%s'\n", path.c_str());
        return;
    }
    std::fprintf(fp, "%u\n", static_cast<unsigned>(getpid()));
    std::fclose(fp);
}

void cleanup_pid_file() {
    ustring path = Settings::getInstance().getPidFilePath();
    if (!path.empty()) unlink(path.c_str());
}

}  // namespace

void usage() {
    static const char* const lines[] = {
        "* Controling application: ",
        "    Control <action>",
        "",
        "* Controling session: ",
        "    ControlSession <action> <session_id> ",
        "",
        "* Supported actions: ",
        "    stop",
        "    link",
        "    unlink",
        "    pause",
        "    resume",
        "    reload_setting",
        "    reload_session",
        "    add_session",
        "    remove_session",
        "",
    };
    for (const char* line : lines) std::printf("%s\n", line);
    std::fflush(stdout);
}

int daemon_main(int argc, char** argv) {
    if (argc > 3) return -1;
    if (StopSignal::Install() < 0) return -1;
    std::setlocale(LC_ALL, "");
    if (init_open_ssl() < 0) return -1;

    Settings& settings = Settings::getInstance();
    if (argc >= 2) {
        if (std::strlen(argv[1]) >= kMaxConfigPath) return -1;
        // An unreadable or invalid file leaves the built-in defaults in force.
        settings.loadConfigSettings(ustring(argv[1]));
    }

    int rc;
    if (settings.isForeground())
        rc = Logger::Initialize(Logger::STDOUT_LOGGER, "", settings.getLogLevelFilePath(), 50);
    else
        rc = Logger::Initialize(Logger::FILE_LOGGER, settings.getLogFilePath(), settings.getLogLevelFilePath(), 50);
    if (rc < 0) {
        std::fprintf(stderr, "Tidewell: client is not enabled %s %s\n", settings.getLogFilePath().c_str(),
                     settings.getLogLevelFilePath().c_str());
        return -1;
    }
    if (!settings.isForeground()) TW_NOTE(kComponent, "daemon is now running in the background\n");

    create_pid_file();
    usage();
    if (settings.getSocketPath().empty())
        // Whoever drives the daemon can link any server and add any folder
        // this user can read, that is copy this user's files away.
        TW_WARNING(kComponent,
                   "the control socket is TCP on 127.0.0.1: any local user can drive this daemon; set "
                   "socket_path to use an owner-only local-domain socket\n");

    int result;
    {
        TidewellApp app;
        if (app.run() < 0) {
            cleanup_pid_file();
            return -1;
        }
        result = recieve_from_ipc(app);
        app.kill();
    }
    cleanup_pid_file();
    return result < 0 ? -1 : 0;
}
