// "status": one screen of sessions, connections and transfers from the
// daemon's "get_status"; with --watch it is redrawn until interrupted (or
// --count screens), each transfer with its progress bar.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "commands.h"
#include "daemon_client.h"
#include "json_convert.h"
#include "setup_state.h"
#include "status_view.h"

namespace ctl {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

bool parse_count(const Options& o, const char* option, long fallback, long& value) {
    value = fallback;
    if (!o.has(option)) return true;
    char* end = nullptr;
    std::string text = o.value(option);
    value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1) {
        fail(std::string("--") + option + " takes a positive whole number, not '" + text + "'");
        return false;
    }
    return true;
}

}  // namespace

int CmdStatus(const Options& o) {
    if (!o.args.empty()) return UsageError("status takes no arguments besides its options");
    long interval = 1, count = 0;
    if (!parse_count(o, "interval", 1, interval) || !parse_count(o, "count", 0, count)) return 2;
    bool watch = o.flag("watch");
    if (!watch) count = 1;

    SavedSetup setup;
    std::string error;
    if (!setup.Load(o.config, error)) fail(error + " (folders and servers are not shown)");

    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    if (watch) {
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    PObject msg;
    msg["action"] = "get_status";
    for (long drawn = 0; !g_interrupted && (count == 0 || drawn < count); ++drawn) {
        if (drawn > 0) {
            // Sleeps in small steps so that Ctrl-C ends the loop at once.
            for (long i = 0; i < interval * 10 && !g_interrupted; ++i) usleep(100 * 1000);
            if (g_interrupted) break;
        }
        PObject reply;
        if (call(o.config, msg, reply) != 0) return 1;
        if (o.json) {
            std::printf("%s\n", ToJson(reply).dump().c_str());
        } else {
            if (watch) {
                char stamp[16];
                std::time_t now = std::time(nullptr);
                std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
                // Home and clear: the screen is drawn again in place.
                std::printf("\033[H\033[2Jtidewell status at %s (every %ld s; Ctrl-C to stop)\n\n", stamp, interval);
            }
            std::fputs(StatusScreen(reply, setup).c_str(), stdout);
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace ctl
