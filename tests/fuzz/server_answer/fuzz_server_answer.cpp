// Feeds arbitrary bytes as the server's side of one exchange: the request
// runner reads them through a real channel (keep-alive notices, the answer,
// whatever else arrives), and the answer is then read the way the handshake
// and the callers read it (refusal codes of both tables, the alive time,
// the server build, and the syncers' check of a pull answer). The bytes go into one end of a socket pair, which is
// then closed, so every receive ends at the latest on the peer's close.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "base/logger.h"
#include "net/channel.h"
#include "net/error_codes.h"
#include "protocol/proto_common.h"
#include "protocol/server_error.h"
#include "protocol/server_session.h"
#include "support/fuzz_socket.h"
#include "sync/pull_request.h"
#include "value/pobject.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Only critical lines pass: malformed input is expected to be logged.
    char levels[] = "/tmp/fuzz-server-answer-XXXXXX";
    int fd = mkstemp(levels);
    if (fd < 0) std::abort();
    const char text[] = "stream=2\nchannel_debug=2\nsyncer_debug=2\nworker_debug=2\nproto_common_debug=2\n";
    if (write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) std::abort();
    close(fd);
    Logger::Initialize(Logger::STDERR_LOGGER, "", ustring(levels), 1);
    std::remove(levels);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    // The request the runner writes stays unread in the buffer of fds[1];
    // it is small enough to fit.
    std::thread writer([&] {
        tidewell::fuzzing::send_all(fds[1], bytes, size);
        shutdown(fds[1], SHUT_WR);
    });

    PObject response;
    int ret;
    {
        Channel ch;
        if (ch.Open(fds[0], true) != 0) std::abort();
        SessionForm form = SyncerSessionForm(nullptr);
        form.limits = {5, 5};
        PObject request;
        InitRequest(request, "pull_event");
        request["sync_id"] = uint64_t{1};
        ret = RunProtocol(ch, SCMD_EVT_PULL, request, response, form);
        ch.Close();
    }
    writer.join();
    close(fds[1]);

    if (ret != 0 && ret != ERR_IO && ret != ERR_PROTO) std::abort();
    if (ret == 0) {
        if (!response.isMap() || response["type"].asString() == "keep_alive") std::abort();
        for (ServerErrorTable table : {ServerErrorTable::kSyncer, ServerErrorTable::kWorker}) {
            int err = ResponseErrorCode(response, table, "syncer_debug");
            if (response.hasMember("error") ? err >= 0 : err != 0) std::abort();
            if (err < ERR_MAX) std::abort();
        }
        // A pull answer is processed only when it has an integer next id,
        // and an event list when the id moves; a refusal never is.
        int pull = CheckPullAnswer(response, 1, "syncer_debug");
        if (pull > 0 || pull < ERR_MAX) std::abort();
        if (pull == 0) {
            const PObject& next = response["next_sync_id"];
            if (response.hasMember("error") || !next.isInteger()) std::abort();
            if (next.asUInt64() != 1 && !response["event_list"].isArray()) std::abort();
        }
        (void)AliveSeconds(response);
        (void)response["server"]["package_version"]["build"].asUInt64();
    }
    (void)response.toString();
    return 0;
}
