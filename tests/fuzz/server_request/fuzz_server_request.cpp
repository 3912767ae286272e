// Feeds arbitrary bytes to the server's handling of a connection: the bytes
// go into one end of a socket pair as if a client sent them, a Connection
// serves the other end until the bytes run out, and the answers are
// drained. One server context on a scratch root serves every input, so
// that state built by one input (an admitted session's uploads) meets the
// next. After each input nothing may be left in the folder of bodies being
// received.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "base/logger.h"
#include "server/connection.h"
#include "server/server_context.h"
#include "support/fuzz_files.h"

namespace {

tw_server::ServerContext* g_server = nullptr;
std::string g_root;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = tidewell::fuzzing::temp_folder("fuzz-server");
    std::string levels = g_root + "/levels";
    const std::string thresholds = "server=2\nstream=2\nchannel_debug=2\nproto_common_debug=2\n";
    tidewell::fuzzing::write_file(levels, thresholds.data(), thresholds.size());
    Logger::Initialize(Logger::STDERR_LOGGER, "", ustring(levels), 1);

    tw_server::ServerOptions options;
    options.root = g_root + "/root";
    options.host = "127.0.0.1";
    options.tokens = {"fuzz"};
    options.views = {tw_server::ViewDeclaration{1, false}, tw_server::ViewDeclaration{2, true}};
    options.fsync = false;
    options.fault_file = g_root + "/no-faults";
    options.page_size = 10;
    std::filesystem::create_directories(options.root);
    static tw_server::ServerContext server(options);
    std::string error;
    if (server.Open(error) != 0) {
        std::fprintf(stderr, "fuzz_server_request: %s\n", error.c_str());
        std::abort();
    }
    g_server = &server;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // The client's side: send everything, then read the answers until the
    // server closes.
    std::thread client([&] {
        size_t done = 0;
        while (done < size) {
            ssize_t n = send(fds[1], bytes + done, size - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        shutdown(fds[1], SHUT_WR);
        char buf[65536];
        while (read(fds[1], buf, sizeof buf) > 0) {
        }
        close(fds[1]);
    });
    {
        tw_server::Connection connection(*g_server, fds[0], "fuzz");
        connection.Run();
    }
    client.join();

    std::error_code ec;
    if (!std::filesystem::is_empty(g_root + "/root/incoming", ec) && !ec) {
        std::fprintf(stderr, "fuzz_server_request: a received body was left behind\n");
        std::abort();
    }
    return 0;
}
