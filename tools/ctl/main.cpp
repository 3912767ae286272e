// tidewell-ctl: drives tidewell-daemon from the command line, standing in for
// the UI process. The commands are listed by UsageText (options.cpp); each
// is one function of commands.h.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/logger.h"
#include "commands.h"
#include "daemon_client.h"
#include "json_convert.h"
#include "options.h"
#include "probe.h"

namespace {

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

int send_json(const ctl::Options& o) {
    if (o.args.size() != 1) return ctl::UsageError("send takes one JSON request");
    ctl::Json j = ctl::Json::parse(o.args[0], nullptr, false);
    if (j.is_discarded()) {
        ctl::fail("the request is not valid JSON: " + o.args[0]);
        return 2;
    }
    if (!j.is_object()) {
        ctl::fail("a request is a JSON object, such as {\"action\": \"link\"}");
        return 2;
    }
    PObject msg;
    std::string error;
    if (!ctl::FromJson(j, msg, error)) {
        ctl::fail(error);
        return 2;
    }
    return ctl::CmdSend(o, msg);
}

}  // namespace

int main(int argc, char** argv) {
    // The probe needs no daemon and no configuration.
    if (argc >= 2 && std::strcmp(argv[1], "probe") == 0) {
        ProbeOptions probe;
        std::string error;
        if (ParseProbeOptions(argc - 2, argv + 2, probe, error) != 0) return ctl::UsageError(error);
        if (!probe.verbose) quiet_library_logs();
        return RunProbe(probe, stdout, stderr);
    }
    ctl::Options o;
    std::string error;
    switch (ctl::ParseOptions(argc, argv, o, error)) {
        case ctl::ParseResult::kHelp:
            std::fputs(ctl::UsageText(), stdout);
            return 0;
        case ctl::ParseResult::kError:
            return ctl::UsageError(error);
        case ctl::ParseResult::kOk:
            break;
    }
    if (!o.verbose) quiet_library_logs();

    const std::string& c = o.command;
    if (c == "start") {
        if (!o.args.empty()) return ctl::UsageError("start takes no arguments besides its options");
        return ctl::CmdStart(o);
    }
    if (c == "send") return send_json(o);
    if (c == "link" || c == "unlink" || c == "stop") {
        if (!o.args.empty()) return ctl::UsageError(c + " takes no arguments");
        PObject msg;
        msg["action"] = ustring(c);
        return ctl::CmdSend(o, msg);
    }
    if (c == "init") return ctl::CmdInit(o);
    if (c == "connection") return ctl::CmdConnection(o);
    if (c == "session") return ctl::CmdSession(o);
    if (c == "event") return ctl::CmdEvent(o);
    if (c == "status") return ctl::CmdStatus(o);
    if (c == "sync") return ctl::CmdSync(o);
    return ctl::UsageError("unknown command " + c);
}
