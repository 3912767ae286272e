// tidewell-server: a small sync server of the daemon's protocol, for
// trying Tidewell end to end, for tests and for benchmarks.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "base/logger.h"
#include "server/listener.h"
#include "server/ls_command.h"
#include "server/server_context.h"
#include "server/server_options.h"

namespace {

const char* const kComponent = "server";

// The log thresholds live in the root, made on first start: the server's
// own lines down to INFO, everything else from WARNING.
std::string LevelFile(const std::string& root) {
    std::string path = root + "/log-levels";
    if (access(path.c_str(), F_OK) != 0) {
        std::ofstream out(path);
        out << "# log thresholds per component: 2 critical ... 6 info, 7 debug\n"
               "server=6\n";
    }
    return path;
}

bool WritePortFile(const std::string& path, int port) {
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp);
        out << port << "\n";
        if (!out) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tw_server;
    if (argc >= 2 && std::strcmp(argv[1], "ls") == 0) {
        LsOptions options;
        std::string error;
        if (ParseLsOptions(argc - 2, argv + 2, options, error) != 0) {
            std::fprintf(stderr, "tidewell-server ls: %s\n%s", error.c_str(), UsageText());
            return 2;
        }
        return RunLs(options, stdout, stderr);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(UsageText(), stdout);
        return 0;
    }

    ServerOptions options;
    std::string error;
    if (ParseServerOptions(argc - 1, argv + 1, options, error) != 0) {
        std::fprintf(stderr, "tidewell-server: %s\n%s", error.c_str(), UsageText());
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(options.root, ec);
    if (ec) {
        std::fprintf(stderr, "tidewell-server: cannot create %s: %s\n", options.root.c_str(), ec.message().c_str());
        return 1;
    }
    Logger::Initialize(Logger::STDERR_LOGGER, "", ustring(LevelFile(options.root)), 1);
    // SQLite allocates and frees its statement journals on every write; with
    // glibc's default threshold each free hands the memory back to the
    // kernel (a system call per request) only to take it again.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);

    // Signals are taken by one thread; every other thread blocks them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServerContext server(options);
    if (server.Open(error) != 0) {
        std::fprintf(stderr, "tidewell-server: %s\n", error.c_str());
        return 1;
    }
    Listener listener(server);
    if (listener.Bind(options.host, options.port, error) != 0) {
        std::fprintf(stderr, "tidewell-server: %s\n", error.c_str());
        return 1;
    }
    if (!options.port_file.empty() && !WritePortFile(options.port_file, listener.port())) {
        std::fprintf(stderr, "tidewell-server: cannot write %s\n", options.port_file.c_str());
        return 1;
    }
    std::thread signals([&] {
        int number = 0;
        sigwait(&stop_signals, &number);
        TW_NOTE(kComponent, "signal %d\n", number);
        server.RequestStop();
    });
    TW_NOTE(kComponent, "listening on %s:%d, root %s, %zu views%s%s\n", options.host.c_str(), listener.port(),
            options.root.c_str(), options.views.size(), server.tls_available() ? ", TLS available" : "",
            options.fsync ? "" : ", without flushes");
    listener.Run();
    signals.join();
    TW_NOTE(kComponent, "stopped\n");
    return 0;
}
