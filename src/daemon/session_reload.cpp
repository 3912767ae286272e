// "reload_session": a session's write permission, its filters and its
// recursion change in place, on a copy of its entry that is stored back
// (keeping the live recycle time), after which the session's workers are
// interrupted so that none goes on with the old settings.
#include <ctime>
#include <set>

#include "base/logger.h"
#include "daemon/session_filters.h"
#include "daemon/session_layout.h"
#include "daemon/tidewell_app.h"
#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "fs/file_op.h"
#include "store/file_event_db.h"
#include "store/filter_db.h"
#include "store/filter_info.h"
#include "sync/event_generator.h"
#include "sync/event_manager.h"

namespace {

const char* const kComponent = "client_debug";

using ull = unsigned long long;

WorkerTask::AbortFilter session_filter(uint64_t sess_id) {
    WorkerTask::AbortFilter filter;
    filter.setSession(sess_id);
    return filter;
}

// Whether the three filter files of a session read cleanly, tried on
// objects of their own: a failed load empties a list, and the session's
// lists are shared with every task, so a broken file must not replace a
// working list (an empty black list lets everything through).
bool filters_readable(const SessionLayout& layout, PObject& reply, uint64_t sess_id) {
    BlackList2 black;
    WhiteListCpp white;
    ForceHashCheckListCpp force;
    if (black.Load(layout.black_list) < 0) {
        TW_ERROR(kComponent, "failed to reload black list filter for sesion %llu\n", (ull)sess_id);
        reply["error"] = "Failed to load black list.";
        return false;
    }
    if (white.Load(layout.white_list) < 0) {
        TW_ERROR(kComponent, "failed to reload white list filter for sesion %llu\n", (ull)sess_id);
        reply["error"] = "Failed to load white list.";
        return false;
    }
    if (force.Load(layout.force_hash_check_list) < 0) {
        TW_ERROR(kComponent, "failed to reload force hash check list filter for sesion %llu\n", (ull)sess_id);
        reply["error"] = "Failed to load force hash check list.";
        return false;
    }
    return true;
}

}  // namespace

void TidewellApp::reload_session(const PObject& msg, PObject& reply) {
    if (!msg["session_id"].isInteger()) {
        TW_ERROR(kComponent, "Invalid parameter\n.\n");
        reply["error"] = "Invalid parameter";
        return;
    }
    uint64_t sess_id = msg["session_id"].asUInt64();
    Registry::Entry entry;
    if (Registry::getInstance().Find(sess_id, entry) != 1) {
        TW_ERROR(kComponent, "invalid session %llu, stop reload\n", (ull)sess_id);
        reply["error"] = "Invalid session.";
        return;
    }
    TW_INFO(kComponent, "session #%llu is reloaded, info = %s\n", (ull)sess_id, msg.toString().c_str());
    if (msg.hasMember("read_only")) change_permission(entry, msg["read_only"].asBool());
    if (msg.hasMember("do_reload_filter") && msg["do_reload_filter"].asBool()) {
        TW_INFO(kComponent, "reload_session with reload_filter\n");
        reload_filter(entry, reply);
    }
    if (msg.hasMember("recursive")) change_recursive(entry, msg["recursive"].asBool());
    // A session's permission mode is fixed when it is created: the name is
    // read and changes nothing.
    if (msg.hasMember("perm_mode")) (void)msg["perm_mode"].asString();

    Registry::getInstance().Update(entry);
    interrupt_worker(session_filter(sess_id));
}

void TidewellApp::reload_filter(Registry::Entry& entry, PObject& reply) {
    uint64_t sess_id = entry.sess_id;
    SessionLayout layout(entry.local_path, entry.config_path);
    if (!entry.black_list || !entry.white_list || !entry.force_hash_check_list || !entry.event_db) {
        TW_ERROR(kComponent, "failed to reload black list filter for sesion %llu\n", (ull)sess_id);
        reply["error"] = "Failed to load black list.";
        return;
    }
    if (!filters_readable(layout, reply, sess_id)) return;
    entry.black_list->Load(layout.black_list);
    entry.white_list->Load(layout.white_list);
    entry.force_hash_check_list->Load(layout.force_hash_check_list);

    uint64_t sync_id = 0;
    if (entry.event_db->getSyncId(sync_id) < 0) {
        TW_ERROR(kComponent, "Failed to get sync_id for session %llu\n", (ull)sess_id);
        reply["error"] = "Failed to get current sync_id.";
        return;
    }
    TW_INFO(kComponent, "Reload session (%llu), current sync_id [%llu]\n", (ull)sess_id, (ull)sync_id);
    if (::reload_filter(sess_id, sync_id, layout.black_list, layout.white_list) < 0) {
        TW_ERROR(kComponent, "failed to reload_filter for sess (%llu)\n", (ull)sess_id);
        reply["error"] = "Failed to reload filter.";
        return;
    }
    reload_local_events(entry);
}

void TidewellApp::reload_local_events(Registry::Entry& entry) {
    TW_INFO(kComponent, "reload local filtered events from database for session '%llu'\n", (ull)entry.sess_id);
    std::set<FilterLocalEvent> events;
    if (FilterDB::getInstance().dumpLocalFilteredEvent(entry.sess_id, events) != 0) {
        TW_WARNING(kComponent, "failed to dump resume items for session '%llu'... \n", (ull)entry.sess_id);
        return;
    }
    for (const FilterLocalEvent& e : events) PushEvent(entry, e);
}

void TidewellApp::change_permission(Registry::Entry& entry, bool read_only) {
    if (entry.read_only == read_only) return;
    if (!read_only) {
        TW_INFO(kComponent, "chaning permission sync of session %llu to read write\n", (ull)entry.sess_id);
        entry.read_only = false;
        Registry::getInstance().Update(entry);
        // Local changes made while read-only are to be uploaded now.
        EventManager::getInstance().IssueRescan(entry.sess_id, "/", true);
    } else {
        TW_INFO(kComponent, "chaning permission sync of session %llu to read only\n", (ull)entry.sess_id);
        entry.read_only = true;
        Registry::getInstance().Update(entry);
    }
}

void TidewellApp::change_recursive(Registry::Entry& entry, bool recursive) {
    if (entry.recursive && !recursive) {
        TW_INFO(kComponent, "switch to non-recursive\n");
        // The sub-folders leave the session: no worker may still be writing
        // there while they go.
        pause_worker();
        interrupt_worker(session_filter(entry.sess_id));
        entry.recursive = false;
        Registry::getInstance().Update(entry);
        recycle_all_dir(entry);
        if (entry.event_db) entry.event_db->rmAllFolders();
        resume_worker();
    } else if (!entry.recursive && recursive) {
        TW_INFO(kComponent, "switch to recursive\n");
        entry.recursive = true;
        Registry::getInstance().Update(entry);
        // The next pull fetches the whole server state, sub-folders included.
        if (entry.event_db) entry.event_db->setSyncId(0);
    }
    EventManager::getInstance().IssueRescan(entry.sess_id, "/", true);
}

void TidewellApp::recycle_all_dir(const Registry::Entry& entry) {
    const ustring& path = entry.local_path;
    SessionLayout layout(entry.local_path, entry.config_path);
    TW_DEBUG(kComponent, "removing all folders under %s\n", path.c_str());
    DIR_HANDLE dh;
    FSOpenDir(path, 0, dh);
    DIR_ENTRY item;
    int rc;
    uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    while ((rc = FSReadDir(dh, item)) == 1) {
        // A link is not a directory: what it points at is never touched.
        if (item.type != FT_DIR) continue;
        if (item.name == "." || item.name == ".." || item.name == ".CorvexaWorkingDirectory") continue;
        TW_DEBUG(kComponent, "removing %s/%s\n", path.c_str(), item.name.c_str());
        ustring unique;
        if (FSCreateTempPath("", unique) < 0 ||
            FSRenameNoReplace(path + "/" + item.name, layout.recycle_dir + unique) != 0) {
            TW_WARNING(kComponent, "folder %s/%s is not moved into the recycle folder\n", path.c_str(),
                       item.name.c_str());
            continue;
        }
        // Recorded, so that a later download can take its files back and the
        // recycle cleaner deletes it after the retention time.
        if (!entry.event_db || entry.event_db->dumpDirToRecycleBin(unique, "/" + item.name) != 0)
            TW_WARNING(kComponent, "folder %s/%s is in the recycle folder as %s, but not recorded\n", path.c_str(),
                       item.name.c_str(), unique.c_str());
        Registry::getInstance().InitRecycleTime(entry, now);
    }
    FSCloseDir(dh);
    if (rc < 0) TW_WARNING(kComponent, "folders under %s is not removed\n", path.c_str());
}
