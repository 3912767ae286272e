#include "options.h"

#include <cstdlib>

#include "probe.h"

namespace ctl {

namespace {

const std::set<std::string> kValueOptions = {
    "config",   "daemon",    "server",     "token",      "view",         "folder",         "connection",
    "config-dir", "node",    "remote-path", "recursive", "read-only",    "perm-mode",      "server-name",
    "proxy",    "proxy-user", "proxy-password", "tunnel", "interval",    "count",
};

const std::set<std::string> kFlags = {
    "json", "verbose", "tls", "allow-untrusted", "sync-mode", "watch", "reload-filter", "dir",
};

}  // namespace

const char* UsageText() {
    static const std::string text = std::string("usage: tidewell-ctl COMMAND [ARGUMENTS] [--config FILE] [--json] [--verbose]\n"
           "\n"
           "Getting started:\n"
           "  init                      write a configuration FILE (paths beside it, owner-only sockets)\n"
           "  start [--daemon PROGRAM]  start the daemon and print its notices; links it again and\n"
           "                            re-adds the connections and sessions set up before\n"
           "  sync FOLDER --server HOST:PORT --token TOKEN [--view N] [--tls]\n"
           "                            link the daemon, set up a connection and a session, resume it\n"
           "  status [--watch [--interval SECONDS] [--count N]]\n"
           "                            sessions, connections and transfers (redrawn with --watch)\n"
           "\n"
           "Connections:\n"
           "  connection add ID --server HOST:PORT --token TOKEN [--tls] [--allow-untrusted]\n"
           "                 [--server-name NAME] [--proxy HOST:PORT [--proxy-user U --proxy-password P]]\n"
           "                 [--tunnel HOST:PORT]\n"
           "  connection reload ID (the options of add)\n"
           "  connection remove [ID]    (no ID: every connection)\n"
           "\n"
           "Sessions:\n"
           "  session add ID --connection ID --folder DIR [--view N] [--config-dir DIR] [--node N]\n"
           "              [--remote-path PATH] [--recursive yes|no] [--read-only yes|no] [--sync-mode]\n"
           "              [--perm-mode sync-all|domain-only|exec-bit-only]\n"
           "  session reload ID [--read-only yes|no] [--recursive yes|no] [--reload-filter]\n"
           "  session remove [ID]       (no ID: every session)\n"
           "  session pause|resume [ID] [--connection ID]   (neither: every session)\n"
           "  event add SESSION upload|remove PATH [--dir]\n"
           "\n"
           "The daemon itself:\n"
           "  link | unlink | stop\n"
           "  send JSON                 one raw control request\n"
           "\n"
           "Before linking (no daemon, no configuration needed):\n") +
        kProbeUsage +
        "\n"
           "--json prints replies (and notices) as JSON for scripts; --verbose shows the library's\n"
           "log lines. FILE defaults to $TIDEWELL_CONFIG.\n";
    return text.c_str();
}

ParseResult ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    if (argc < 2) {
        error = "no command";
        return ParseResult::kError;
    }
    o.command = argv[1];
    if (o.command == "--help" || o.command == "-h" || o.command == "help") return ParseResult::kHelp;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") return ParseResult::kHelp;
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a.substr(2);
            if (kFlags.count(name)) {
                o.flags.insert(name);
            } else if (kValueOptions.count(name)) {
                if (i + 1 >= argc) {
                    error = a + " needs a value";
                    return ParseResult::kError;
                }
                o.values[name] = argv[++i];
            } else {
                error = "unknown option " + a;
                return ParseResult::kError;
            }
        } else {
            o.args.push_back(a);
        }
    }
    o.json = o.flag("json");
    o.verbose = o.flag("verbose");
    o.config = o.value("config");
    if (o.config.empty()) {
        const char* env = std::getenv("TIDEWELL_CONFIG");
        if (env) o.config = env;
    }
    if (o.config.empty()) {
        error = "no configuration: give --config FILE or set TIDEWELL_CONFIG";
        return ParseResult::kError;
    }
    return ParseResult::kOk;
}

}  // namespace ctl
