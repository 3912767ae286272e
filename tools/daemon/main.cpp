// tidewell-daemon [CONFIG_FILE]: the sync client daemon, driven by its UI
// over the control socket.
#include "daemon/daemon_main.h"

int main(int argc, char** argv) {
    return daemon_main(argc, argv);
}
