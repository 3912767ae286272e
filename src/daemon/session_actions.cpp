// The control actions on sessions: "add_session", "remove_session",
// "pause", "resume" and "add_event" ("reload_session" is in
// session_reload.cpp, the creation steps in session_setup.cpp).
//
// Every handler that finds a required member missing or mistyped replies
// at once, before anything is created or changed. A session id of 0 is
// never a session: it means "every session" to "remove_session" and to
// the interruption filter.
#include <vector>

#include "base/logger.h"
#include "daemon/tidewell_app.h"
#include "fs/event_path.h"
#include "store/progress_cache.h"
#include "sync/detector.h"
#include "sync/event_generator.h"
#include "sync/event_manager.h"

namespace {

const char* const kComponent = "client_debug";

using ull = unsigned long long;

bool is_id(const PObject& value) {
    return value.isInteger() && value.asUInt64() != 0;
}

bool is_text(const PObject& value) {
    return value.isString() && !value.asString().empty();
}

// A folder path without trailing "/" (but "/" itself): the working
// directory and every event's full path are built by appending to it.
ustring without_trailing_slash(ustring path) {
    std::string bytes = path.str();
    while (bytes.size() > 1 && bytes.back() == '/') bytes.pop_back();
    return ustring(bytes);
}

// The session creation record: the defaults, then what the request has.
PObject make_create_info(const PObject& msg) {
    PObject info;
    info["conn_id"] = msg["connection_id"].asUInt64();
    info["sess_id"] = msg["session_id"].asUInt64();
    info["view_id"] = msg["view_id"].asUInt64();
    info["config_path"] = without_trailing_slash(msg["config_path"].asString());
    info["local_path"] = without_trailing_slash(msg["sync_folder"].asString());
    info["node_id"] = msg["view_id"].asUInt64();
    info["recursive"] = uint64_t{1};
    info["remote_path"] = "/";
    info["sync_mode"] = uint64_t{0};
    info["read_only"] = uint64_t{0};
    info["perm_mode"] = "sync-all";
    if (msg.hasMember("node_id")) info["node_id"] = msg["node_id"].asUInt64();
    if (msg.hasMember("recursive")) info["recursive"] = uint64_t{msg["recursive"].asBool()};
    if (msg.hasMember("remote_path")) info["remote_path"] = msg["remote_path"].asString();
    if (msg.hasMember("sync_mode")) info["sync_mode"] = uint64_t{msg["sync_mode"].asBool()};
    if (msg.hasMember("read_only")) info["read_only"] = uint64_t{msg["read_only"].asBool()};
    if (msg.hasMember("perm_mode")) info["perm_mode"] = msg["perm_mode"].asString();
    return info;
}

WorkerTask::AbortFilter session_filter(uint64_t sess_id) {
    WorkerTask::AbortFilter filter;
    filter.setSession(sess_id);
    return filter;
}

// "pause" and "resume" select by "session_id" and "connection_id", each when
// present; neither selects nothing.
WorkerTask::AbortFilter selection_of(const PObject& msg) {
    WorkerTask::AbortFilter filter;
    if (msg.hasMember("session_id")) filter.setSession(msg["session_id"].asUInt64());
    if (msg.hasMember("connection_id")) filter.setConnection(msg["connection_id"].asUInt64());
    return filter;
}

void set_pause(const WorkerTask::AbortFilter& filter, bool pause) {
    std::vector<Registry::Entry> entries;
    Registry::getInstance().GetAll(entries);
    for (Registry::Entry& e : entries) {
        if (!filter.match(e.sess_id, e.conn_id)) continue;
        e.pause = pause;
        Registry::getInstance().Update(e);
    }
}

}  // namespace

void TidewellApp::add_session(const PObject& msg, PObject& reply) {
    if (!is_id(msg["connection_id"]) || !is_id(msg["session_id"]) || !msg["view_id"].isInteger() ||
        !is_text(msg["config_path"]) || !is_text(msg["sync_folder"])) {
        TW_ERROR(kComponent, "Invalid parameters.\n");
        reply["error"] = "Invalid parameters.";
        return;
    }
    uint64_t sess_id = msg["session_id"].asUInt64();
    TW_INFO(kComponent, "session #%llu is added, info = %s\n", (ull)sess_id, msg.toString().c_str());
    PObject create_info = make_create_info(msg);

    // Adding a live id again replaces the session: it is removed first, as
    // "remove_session" does, so that no worker is still writing into the
    // working directory that the creation empties, and its watch, pool and
    // progress entries do not outlive it. The workers stay paused until the
    // new entry is in place.
    Registry::Entry live;
    bool replacing = Registry::getInstance().Find(sess_id, live) == 1;
    if (replacing) {
        TW_INFO(kComponent, "session #%llu is live, removing it before it is added again\n", (ull)sess_id);
        pause_worker();
        interrupt_worker(session_filter(sess_id));
        PObject ignored;
        remove_one_session(sess_id, ignored);
    }
    if (create_registry_entry(create_info) < 0) {
        TW_WARNING(kComponent, "session %llu is not added, failed to create registry entry\n", (ull)sess_id);
        reply["error"] = "Failed to create registry entry.";
    }
    if (replacing) resume_worker();
}

void TidewellApp::remove_session(const PObject& msg, PObject& reply) {
    uint64_t sess_id = msg["session_id"].asUInt64();
    TW_INFO(kComponent, "session #%llu is removed\n", (ull)sess_id);
    if (!is_linked()) {
        // Before "link" no session exists (and no detector to unwatch one).
        TW_ERROR(kComponent, "invalid session %llu, stop remove\n", (ull)sess_id);
        reply["error"] = "Invalid session.";
        return;
    }
    pause_worker();
    interrupt_worker(session_filter(sess_id));
    if (sess_id != 0) {
        remove_one_session(sess_id, reply);
    } else {
        std::vector<Registry::Entry> entries;
        Registry::getInstance().GetAll(entries);
        for (const Registry::Entry& e : entries) remove_one_session(e.sess_id, reply);
    }
    resume_worker();
}

void TidewellApp::remove_one_session(uint64_t sess_id, PObject& reply) {
    TW_INFO(kComponent, "remove_one_session '%llu'.\n", (ull)sess_id);
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) != 1) {
        TW_ERROR(kComponent, "invalid session %llu, stop remove\n", (ull)sess_id);
        reply["error"] = "Invalid session.";
        return;
    }
    Registry::getInstance().Clear(sess_id);
    if (Detector* watcher = detector()) watcher->RemoveWatch(sess_id);
    if (ProgressCache::getInstance().rmProgressEntryBySessionId(sess_id) == 0)
        TW_INFO(kComponent, "Remove session %llu from Progress Cache\n", (ull)sess_id);
    // Its queued events must not come back if the id is added again (a
    // stale local removal would become a removal on the server).
    EventManager::getInstance().RemoveSession(sess_id);
    TW_INFO(kComponent, "session '%llu' is removed.\n", (ull)sess_id);
}

void TidewellApp::pause_session(const PObject& msg, PObject&) {
    WorkerTask::AbortFilter filter = selection_of(msg);
    pause_worker();
    interrupt_worker(filter);
    set_pause(filter, true);
    resume_worker();
}

void TidewellApp::resume_session(const PObject& msg, PObject&) {
    set_pause(selection_of(msg), false);
}

void TidewellApp::add_event(const PObject& msg, PObject& reply) {
    uint64_t sess_id = msg["session_id"].asUInt64();
    Registry::Entry entry;
    if (!msg["session_id"].isInteger() || Registry::getInstance().Find(sess_id, entry) != 1) {
        TW_ERROR(kComponent, "invalid session id %llu\n", (ull)sess_id);
        reply["error"] = "Invalid session.";
        return;
    }
    const PObject& type = msg["type"];
    const PObject& path_value = msg["path"];
    bool known_type = type.isString() && (type.asString() == "upload" || type.asString() == "remove");
    if (!known_type || !path_value.isString()) {
        TW_ERROR(kComponent, "add_event: invalid parameters for session %llu: %s\n", (ull)sess_id,
                 msg.toString().c_str());
        reply["error"] = "Invalid parameters.";
        return;
    }
    // The path check works on the bytes: a ustring would end at a NUL.
    std::string bytes = path_value.asString().str();
    if (const char* problem = EventPathProblem(bytes.data(), bytes.size(), EventPathRoot::Allow)) {
        TW_ERROR(kComponent, "add_event: refused path '%s' for session %llu: %s\n", bytes.c_str(), (ull)sess_id,
                 problem);
        reply["error"] = "Invalid parameters.";
        return;
    }
    ustring path = path_value.asString();
    bool is_dir = msg["is_dir"].asBool();
    int pushed = 0;
    if (type.asString() == "upload") {
        TW_INFO(kComponent, "add upload event '%s'\n", path.c_str());
        pushed = PushUploadEvent(entry, path, is_dir);
    } else {
        TW_INFO(kComponent, "add remove event '%s'\n", path.c_str());
        pushed = PushLocalRemoveEvent(entry, path, is_dir);
    }
    if (pushed != 1) reply["error"] = "Invalid parameters.";
}
