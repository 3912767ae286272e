#include "daemon/control_socket.h"

#include <unistd.h>

#include <chrono>

#include "base/abort_flag.h"
#include "base/logger.h"
#include "base/settings.h"
#include "daemon/ipc_listener.h"
#include "daemon/request_watchdog.h"
#include "session/ipc_sender.h"
#include "daemon/stop_signal.h"
#include "daemon/tidewell_app.h"
#include "net/channel.h"
#include "stream/pstream.h"

namespace {

const char* const kComponent = "client_debug";
constexpr size_t kBufferSize = 81920;

// How long a client may take to deliver its request, and again to take its
// reply. Requests are served one after another, so a local client that
// trickles its bytes would otherwise hold up every other request, and a
// stop, for as long as it likes.
constexpr std::chrono::seconds kRequestDeadline{5};

// A control request is a small map: an action and its members, a few lists
// at most. These limits keep what one local client can make the daemon
// hold to a few megabytes.
PStream::Limits control_limits() {
    PStream::Limits limits;
    limits.max_depth = 16;
    limits.max_values = 65536;
    limits.max_text_bytes = 4u << 20;
    return limits;
}

}  // namespace

int send_port_back(int ui_port, int local_port) {
    IPCSender sender;
    bool sent = false;
    if (sender.connect(ui_port) < 0) {
        TW_ERROR(kComponent, "Failed to connect to port : %d\n", ui_port);
    } else {
        PObject msg;
        msg["daemon_port"] = static_cast<uint64_t>(local_port);
        if (sender.send(msg) < 0)
            TW_ERROR(kComponent, "Failed to send message.\n");
        else
            sent = true;
    }
    if (!sent) {
        TW_ERROR(kComponent, "failed to send daemon port back to ui\n");
        return -1;
    }
    return 0;
}

int recieve_from_ipc(TidewellApp& daemon) {
    Settings& settings = Settings::getInstance();
    IPCListener listener;
    listener.setWakeFd(StopSignal::WakeFd());

    ustring socket_path = settings.getSocketPath();
    if (!socket_path.empty()) {
        if (listener.prepare(socket_path.str()) < 0) {
            TW_ERROR(kComponent, "failed to listen on port domain socket '%s'\n", socket_path.c_str());
            return -1;
        }
        TW_NOTE(kComponent, "daemon is listening on socket %s\n", socket_path.c_str());
    } else {
        int ui_port = settings.getUIPort();
        int local_port = listener.prepare(ui_port + 1);
        if (local_port < 0) {
            TW_ERROR(kComponent, "failed to listen on port local_port.\n");
            return -1;
        }
        TW_INFO(kComponent, "daemon is listening on local port %d\n", local_port);
        if (send_port_back(ui_port, local_port) < 0) return -1;
    }

    // Sets a request's abort flag when its time is up or a stop arrives, so
    // that the channel gives up at its next one-second wait.
    RequestWatchdog watchdog(StopSignal::WakeFd());
    if (watchdog.Start() < 0) TW_WARNING(kComponent, "control requests run without a time limit\n");

    for (;;) {
        if (StopSignal::Requested()) {
            TW_NOTE(kComponent, "signal %d received, stopping\n", StopSignal::Signal());
            PObject stop;
            stop["action"] = "stop";
            daemon.send_message(stop);
            listener.close();
            return 0;
        }
        // Declared before the channel, whose close still reads it.
        int abort_flag = 0;
        Channel c(kBufferSize);
        c.SetFlag(&abort_flag);
        PStream stream;
        stream.SetLimits(control_limits());
        PObject msg;
        PObject response;
        if (!listener.isReady()) continue;
        int fd = listener.accept();
        if (fd < 0) {
            TW_ERROR(kComponent, "accept fail.\n");
            continue;
        }
        if (c.Open(fd, true) < 0) {
            TW_ERROR(kComponent, "open channel fail.\n");
            close(fd);
            continue;
        }
        watchdog.Arm(&abort_flag, kRequestDeadline);
        int received = stream.Recv(c, msg);
        watchdog.Disarm();
        if (received < 0) {
            TW_ERROR(kComponent, "Failed to recieve message from channel.\n");
            if (AbortRequested(&abort_flag) && !StopSignal::Requested())
                TW_WARNING(kComponent, "control request not complete within %d seconds; connection closed\n",
                           static_cast<int>(kRequestDeadline.count()));
            continue;
        }
        TW_DEBUG(kComponent, "recieve msg >>> %s\n", msg.toString().c_str());
        if (daemon.send_message(msg, response) < 0) {
            TW_ERROR(kComponent, "message loop is not running, request dropped\n");
            listener.close();
            return -1;
        }
        if (static_cast<const PObject&>(msg)["action"].asString() == "stop") {
            listener.close();
            return 0;
        }
        TW_DEBUG(kComponent, "send rsp <<< %s\n", response.toString().c_str());
        watchdog.Arm(&abort_flag, kRequestDeadline);
        if (stream.Send(c, response) < 0) TW_ERROR(kComponent, "Failed to send message from channel.\n");
        watchdog.Disarm();
    }
}
