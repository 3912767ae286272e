// "sync FOLDER --server HOST:PORT --token TOKEN [--view N] [--tls]": the
// one-line way in. Links the daemon unless it is linked already, sets up a
// connection to the server (or takes the one set up before for the same
// server and token) and a session for the folder with the defaults, resumes
// it, and says what it did at each step.
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "daemon_client.h"
#include "json_convert.h"
#include "session_folders.h"
#include "setup_requests.h"
#include "setup_state.h"

namespace ctl {

namespace {

struct Steps {
    const Options& o;
    Json record = Json::object();

    void say(const std::string& key, const Json& value, const std::string& text) {
        record[key] = value;
        if (!o.json) std::printf("%s\n", text.c_str());
    }
    // The daemon's refusal, told; 1.
    int refused(const std::string& step, const PObject& reply) {
        std::string error = reply["error"].asString().str();
        record["failed"] = step;
        record["error"] = error;
        if (o.json) std::printf("%s\n", record.dump().c_str());
        fail(step + ": the daemon refused: " + error);
        return 1;
    }
};

bool same_server(const ConnectionSetup& c, const std::string& host, int port, const std::string& token, bool tls) {
    return c.server == host && c.port == port && c.token == token && c.tls == tls;
}

}  // namespace

int CmdSync(const Options& o) {
    if (o.args.size() != 1) return UsageError("sync takes one FOLDER");
    if (!o.has("server") || !o.has("token")) return UsageError("sync needs --server HOST:PORT and --token TOKEN");
    std::string host, error;
    int port = 0;
    if (!ParseHostPort(o.value("server"), host, port, error)) {
        fail("--server: " + error);
        return 2;
    }
    uint64_t view = 1;
    if (o.has("view") && !ParseId(o.value("view"), "view", view)) return 2;
    bool tls = o.flag("tls");
    std::string token = o.value("token");

    SavedSetup setup;
    if (!LoadSetup(o, setup)) return 1;
    std::string folder = ResolveSyncFolder(o.args[0], error);
    if (folder.empty()) {
        fail(error);
        return 1;
    }
    std::string conflict = FolderConflict(setup, folder, 0);
    if (!conflict.empty()) {
        fail(conflict + "; sessions cannot nest");
        return 1;
    }
    State daemon;
    if (find_daemon(o.config, daemon) != 0) return 1;

    Steps steps{o};
    PObject link;
    link["action"] = "link";
    PObject reply;
    if (call(o.config, link, reply) != 0) return 1;
    if (!reply.hasMember("error"))
        steps.say("linked", true, "linked the daemon");
    else if (reply["error"].asString() == "Already linked")
        steps.say("linked", false, "the daemon was linked already");
    else
        return steps.refused("link", reply);

    ConnectionSetup connection;
    bool reused = false;
    for (const ConnectionSetup& c : setup.connections)
        if (same_server(c, host, port, token, tls)) {
            connection = c;
            reused = true;
        }
    if (!reused) {
        connection.id = setup.NextConnectionId();
        connection.server = host;
        connection.port = port;
        connection.token = token;
        connection.tls = tls;
    }
    PObject added;
    if (call(o.config, ConnectionRequest(connection, "link_connection"), added) != 0) return 1;
    // A connection set up before is normally in the daemon already.
    if (added.hasMember("error") && !reused) return steps.refused("connection", added);
    std::string where = host + ":" + std::to_string(port) + (tls ? " (TLS)" : "");
    Json cj = Json::object();
    cj["id"] = connection.id;
    cj["added"] = !reused;
    steps.say("connection", cj,
              (reused ? "using connection " : "connection ") + std::to_string(connection.id) + (reused ? " to " : " added: ") +
                  where);
    if (!reused) {
        setup.Put(connection);
        if (SaveSetup(setup) != 0) return 1;
    }

    SessionSetup session;
    session.id = setup.NextSessionId();
    session.connection = connection.id;
    session.view = view;
    session.folder = folder;
    session.config_dir = DefaultConfigDir(o.config, session.id);
    if (!PrepareConfigDir(session.config_dir, error)) {
        fail(error);
        return 1;
    }
    PObject created;
    if (call(o.config, AddSessionRequest(session), created) != 0) return 1;
    if (created.hasMember("error")) return steps.refused("session", created);
    Json sj = Json::object();
    sj["id"] = session.id;
    sj["folder"] = folder;
    sj["view"] = view;
    sj["config_dir"] = session.config_dir;
    steps.say("session", sj,
              "session " + std::to_string(session.id) + " added: " + folder + " <-> view " + std::to_string(view) +
                  " (filters in " + session.config_dir + "/conf)");
    setup.Put(session);
    if (SaveSetup(setup) != 0) return 1;

    PObject resumed;
    if (call(o.config, PauseRequest(session.id, false), resumed) != 0) return 1;
    if (resumed.hasMember("error")) return steps.refused("resume", resumed);
    steps.say("resumed", true,
              "session " + std::to_string(session.id) + " resumed: " + folder + " syncs with " + where +
                  "; follow it with: tidewell-ctl status --watch");
    session.paused = false;
    setup.Put(session);
    if (SaveSetup(setup) != 0) return 1;
    if (o.json) std::printf("%s\n", steps.record.dump().c_str());
    return 0;
}

}  // namespace ctl
