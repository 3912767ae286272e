#include "daemon/control_socket.h"

#include <unistd.h>

#include "base/logger.h"
#include "base/settings.h"
#include "daemon/ipc_listener.h"
#include "session/ipc_sender.h"
#include "daemon/stop_signal.h"
#include "daemon/tidewell_app.h"
#include "net/channel.h"
#include "stream/pstream.h"

namespace {

const char* const kComponent = "client_debug";
constexpr size_t kBufferSize = 81920;

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

    for (;;) {
        if (StopSignal::Requested()) {
            TW_NOTE(kComponent, "signal %d received, stopping\n", StopSignal::Signal());
            PObject stop;
            stop["action"] = "stop";
            daemon.send_message(stop);
            listener.close();
            return 0;
        }
        Channel c(kBufferSize);
        PStream stream;
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
        if (stream.Recv(c, msg) < 0) {
            TW_ERROR(kComponent, "Failed to recieve message from channel.\n");
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
        if (stream.Send(c, response) < 0) TW_ERROR(kComponent, "Failed to send message from channel.\n");
    }
}
