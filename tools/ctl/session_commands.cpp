// "session add|reload|remove|pause|resume" and "event add": the daemon's
// sessions, kept in the setup (with whether each is paused) so that
// "start" adds them again.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "daemon_client.h"
#include "session_folders.h"
#include "setup_requests.h"
#include "setup_state.h"

namespace ctl {

namespace {

bool parse_number(const Options& o, const char* option, uint64_t& value) {
    if (!o.has(option)) return true;
    std::string text = o.value(option);
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-') {
        fail(std::string("--") + option + " takes a whole number, not '" + text + "'");
        return false;
    }
    value = v;
    return true;
}

std::string id_text(uint64_t id) {
    return std::to_string(id);
}

int add(const Options& o, SavedSetup& setup) {
    if (o.args.size() != 2) return UsageError("session add takes an ID");
    SessionSetup s;
    if (!ParseId(o.args[1], "session", s.id)) return 2;
    if (!o.has("connection") || !o.has("folder")) return UsageError("session add needs --connection ID and --folder DIR");
    if (!ParseId(o.value("connection"), "connection", s.connection)) return 2;
    if (!setup.FindConnection(s.connection)) {
        fail("connection " + id_text(s.connection) + " is not set up; add it first with: tidewell-ctl connection add " +
             id_text(s.connection) + " --server HOST:PORT --token TOKEN");
        return 1;
    }
    std::string error;
    s.folder = ResolveSyncFolder(o.value("folder"), error);
    if (s.folder.empty()) {
        fail(error);
        return 1;
    }
    std::string conflict = FolderConflict(setup, s.folder, s.id);
    if (!conflict.empty()) {
        fail(conflict + "; sessions cannot nest");
        return 1;
    }
    if (const SessionSetup* old = setup.FindSession(s.id); old && old->folder != s.folder) {
        fail("session " + id_text(s.id) + " already syncs " + old->folder + "; remove it first or pick another id");
        return 1;
    }
    if (!parse_number(o, "view", s.view) || !parse_number(o, "node", s.node)) return 2;
    if (o.has("remote-path")) s.remote_path = o.value("remote-path");
    if (o.has("recursive") && !ParseYesNo(o.value("recursive"), "recursive", s.recursive)) return 2;
    if (o.has("read-only") && !ParseYesNo(o.value("read-only"), "read-only", s.read_only)) return 2;
    s.sync_mode = o.flag("sync-mode");
    if (o.has("perm-mode")) {
        s.perm_mode = o.value("perm-mode");
        if (s.perm_mode != "sync-all" && s.perm_mode != "domain-only" && s.perm_mode != "exec-bit-only") {
            fail("--perm-mode takes sync-all, domain-only or exec-bit-only, not '" + s.perm_mode + "'");
            return 2;
        }
    }
    s.config_dir = o.has("config-dir") ? absolute(o.value("config-dir")) : DefaultConfigDir(o.config, s.id);
    if (!PrepareConfigDir(s.config_dir, error)) {
        fail(error);
        return 1;
    }
    s.config_dir = absolute(s.config_dir);
    s.paused = true;
    PObject reply;
    if (call(o.config, AddSessionRequest(s), reply) != 0) return 1;
    int rc = Report(o, reply,
                    "session " + id_text(s.id) + " added: " + s.folder + " <-> view " + std::to_string(s.view) + " " +
                        s.remote_path + " (connection " + id_text(s.connection) + "), paused; filters in " +
                        s.config_dir + "/conf; start it with: tidewell-ctl session resume " + id_text(s.id));
    if (rc != 0) return rc;
    setup.Put(s);
    return SaveSetup(setup);
}

int reload(const Options& o, SavedSetup& setup) {
    if (o.args.size() != 2) return UsageError("session reload takes an ID");
    uint64_t id = 0;
    if (!ParseId(o.args[1], "session", id)) return 2;
    PObject msg;
    msg["action"] = "reload_session";
    msg["session_id"] = id;
    bool read_only = false, recursive = true;
    if (o.has("read-only")) {
        if (!ParseYesNo(o.value("read-only"), "read-only", read_only)) return 2;
        msg["read_only"] = read_only;
    }
    if (o.has("recursive")) {
        if (!ParseYesNo(o.value("recursive"), "recursive", recursive)) return 2;
        msg["recursive"] = recursive;
    }
    if (o.flag("reload-filter")) msg["do_reload_filter"] = true;
    PObject reply;
    if (call(o.config, msg, reply) != 0) return 1;
    int rc = Report(o, reply, "session " + id_text(id) + " reloaded");
    if (rc != 0) return rc;
    if (SessionSetup* s = setup.FindSession(id)) {
        if (o.has("read-only")) s->read_only = read_only;
        if (o.has("recursive")) s->recursive = recursive;
        return SaveSetup(setup);
    }
    return 0;
}

int remove(const Options& o, SavedSetup& setup) {
    if (o.args.size() > 2) return UsageError("session remove takes at most an ID");
    uint64_t id = 0;
    if (o.args.size() == 2 && !ParseId(o.args[1], "session", id)) return 2;
    PObject msg;
    msg["action"] = "remove_session";
    msg["session_id"] = id;
    PObject reply;
    if (call(o.config, msg, reply) != 0) return 1;
    int rc = Report(o, reply,
                    (id != 0 ? "session " + id_text(id) + " removed" : std::string("every session removed")) +
                        " (its folder and databases stay on disk)");
    if (rc != 0) return rc;
    setup.ForgetSession(id);
    return SaveSetup(setup);
}

int pause_or_resume(const Options& o, SavedSetup& setup, bool pause) {
    if (o.args.size() > 2) return UsageError(std::string("session ") + (pause ? "pause" : "resume") + " takes at most an ID");
    PObject msg;
    msg["action"] = pause ? "pause" : "resume";
    uint64_t id = 0, connection = 0;
    if (o.args.size() == 2 && !ParseId(o.args[1], "session", id)) return 2;
    if (o.has("connection") && !ParseId(o.value("connection"), "connection", connection)) return 2;
    // Neither given: every session.
    if (id != 0 || connection == 0) msg["session_id"] = id;
    if (connection != 0) msg["connection_id"] = connection;
    PObject reply;
    if (call(o.config, msg, reply) != 0) return 1;
    std::string which = id != 0 ? "session " + id_text(id)
                        : connection != 0 ? "the sessions of connection " + id_text(connection)
                                          : std::string("every session");
    int rc = Report(o, reply, which + (pause ? " paused" : " resumed"));
    if (rc != 0) return rc;
    for (SessionSetup& s : setup.sessions) {
        bool match = (msg.hasMember("session_id") && (id == 0 || s.id == id)) ||
                     (connection != 0 && s.connection == connection);
        if (match) s.paused = pause;
    }
    return SaveSetup(setup);
}

}  // namespace

int CmdSession(const Options& o) {
    if (o.args.empty()) return UsageError("session needs add, reload, remove, pause or resume");
    SavedSetup setup;
    if (!LoadSetup(o, setup)) return 1;
    const std::string& what = o.args[0];
    if (what == "add") return add(o, setup);
    if (what == "reload") return reload(o, setup);
    if (what == "remove") return remove(o, setup);
    if (what == "pause") return pause_or_resume(o, setup, true);
    if (what == "resume") return pause_or_resume(o, setup, false);
    return UsageError("unknown session command " + what);
}

int CmdEvent(const Options& o) {
    if (o.args.size() != 4 || o.args[0] != "add") return UsageError("usage: event add SESSION upload|remove PATH [--dir]");
    uint64_t id = 0;
    if (!ParseId(o.args[1], "session", id)) return 2;
    const std::string& type = o.args[2];
    if (type != "upload" && type != "remove") return UsageError("an event is upload or remove, not " + type);
    PObject msg;
    msg["action"] = "add_event";
    msg["session_id"] = id;
    msg["type"] = ustring(type);
    msg["path"] = ustring(o.args[3]);
    msg["is_dir"] = o.flag("dir");
    PObject reply;
    if (call(o.config, msg, reply) != 0) return 1;
    return Report(o, reply, type + " of " + o.args[3] + " queued in session " + id_text(id));
}

}  // namespace ctl
