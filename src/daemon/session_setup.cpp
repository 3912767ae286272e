// Creating a session: its local environment (the configuration folder's
// databases and the sync folder's working directory), its filters, its
// watch, its registry entry, the comparison of its filter files with the
// filter database, its pending resume conditions and its first rescan.
//
// On-disk layout, from the configuration folder C and the sync folder L:
//   C/db/event-db.sqlite       the file event database
//   C/db/sign                  the signature files
//   C/conf/blacklist.filter, C/conf/whitelist.filter,
//   C/conf/force-hash-check-list.filter
//   L/.CorvexaWorkingDirectory the working directory, emptied at creation
//   L/.CorvexaWorkingDirectory/#CorvRecycle   the recycle folder
#include <memory>

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
#include "store/progress_cache.h"
#include "sync/detector.h"
#include "sync/syncer.h"

namespace {

const char* const kComponent = "client_debug";

using ull = unsigned long long;

bool is_dir(const ustring& path) {
    FILE_INFO info;
    return FSStat(path, info, false) == 0 && info.isExist && info.type == FT_DIR;
}

}  // namespace

PermissionMode GetPermissionMode(const ustring& name) {
    if (name == "sync-all") return PERM_SYNC_ALL;
    if (name == "domain-only") return PERM_SYNC_DOMAIN_ONLY;
    return PERM_SYNC_EXEC_BIT_ONLY;
}

int TidewellApp::create_session_environment(const ustring& local_path, const ustring& config_path) {
    if (!IsValidSyncFolder(local_path)) {
        TW_ERROR(kComponent, "local watch folder (%s) is not a directory\n", local_path.c_str());
        return -1;
    }
    if (!is_dir(config_path)) {
        TW_ERROR(kComponent, "local config folder (%s) is not a directory\n", config_path.c_str());
        return -1;
    }
    SessionLayout layout(local_path, config_path);
    if (FSMKDir(layout.sign_dir, true) < 0) {
        TW_ERROR(kComponent, "Failed to create signature directory at %s.\n", layout.sign_dir.c_str());
        return -1;
    }
    if (FSRemove(layout.working_dir, false) < 0 || FSMKDir(layout.working_dir, false) < 0) {
        TW_ERROR(kComponent, "Failed to create working directory at %s.\n", layout.working_dir.c_str());
        return -1;
    }
    if (FSMKDir(layout.recycle_dir, false) < 0) {
        TW_ERROR(kComponent, "Failed to create recycle bin directory at %s.\n", layout.recycle_dir.c_str());
        return -1;
    }
    return 0;
}

int TidewellApp::create_registry_entry(const PObject& create_info) {
    uint64_t sess_id = create_info["sess_id"].asUInt64();
    // The watch and the first rescan need the tasks, which exist only
    // between "link" and "unlink".
    Detector* watcher = detector();
    Syncer* puller = syncer();
    if (!watcher || !puller) {
        TW_ERROR(kComponent, "session %llu cannot be created: the daemon is not linked\n", (ull)sess_id);
        return -1;
    }
    auto event_db = std::make_shared<FileEventDB>();
    auto black_list = std::make_shared<BlackList2>();
    auto white_list = std::make_shared<WhiteListCpp>();
    auto force_hash_check_list = std::make_shared<ForceHashCheckListCpp>();

    ustring local_path = create_info["local_path"].asString();
    ustring config_path = create_info["config_path"].asString();
    SessionLayout layout(local_path, config_path);

    if (create_session_environment(local_path, config_path) < 0) {
        TW_ERROR(kComponent, "Failed to initiailize session environment for sesion %llu\n", (ull)sess_id);
        return -1;
    }
    TW_DEBUG(kComponent, "session environment of session %llu is done\n", (ull)sess_id);

    if (event_db->initialize(layout.event_db) < 0) {
        TW_ERROR(kComponent, "Failed to initiailize event database for session %llu\n", (ull)sess_id);
        return -1;
    }
    if (event_db->resetRecycleBin() < 0) {
        TW_ERROR(kComponent, "Failed to resetRecycleBin table for session %llu\n", (ull)sess_id);
        return -1;
    }
    if (black_list->Load(layout.black_list) < 0) {
        TW_ERROR(kComponent, "Failed to load black list filter for session %llu '%s'\n", (ull)sess_id,
                 layout.black_list.c_str());
        return -1;
    }
    if (white_list->Load(layout.white_list) < 0) {
        TW_ERROR(kComponent, "Failed to load white list filter for session %llu '%s'\n", (ull)sess_id,
                 layout.white_list.c_str());
        return -1;
    }
    if (force_hash_check_list->Load(layout.force_hash_check_list) < 0) {
        TW_ERROR(kComponent, "Failed to load force hash check filter for session %llu\n", (ull)sess_id);
        return -1;
    }
    if (watcher->AddWatch(local_path, sess_id) < 0) {
        TW_ERROR(kComponent, "Failed to add watch for session %llu at '%s'\n", (ull)sess_id, local_path.c_str());
        return -1;
    }

    Registry::Entry entry;
    entry.conn_id = create_info["conn_id"].asUInt64();
    entry.sess_id = sess_id;
    entry.view_id = create_info["view_id"].asUInt64();
    entry.node_id = create_info["node_id"].asUInt64();
    entry.recursive = create_info["recursive"].asBool();
    entry.local_path = local_path;
    entry.remote_path = create_info["remote_path"].asString();
    entry.config_path = config_path;
    entry.black_list = black_list;
    entry.white_list = white_list;
    entry.event_db = event_db;
    entry.force_hash_check_list = force_hash_check_list;
    entry.pause = true;  // every new session waits for a "resume"
    entry.isMSDOS = IsMSDOS(local_path);
    entry.read_only = create_info["read_only"].asBool();
    entry.perm_mode = GetPermissionMode(create_info["perm_mode"].asString());
    entry.recycle_time = 0;
    Registry::getInstance().Set(entry);

    uint64_t sync_id = 0;
    if (event_db->getSyncId(sync_id) < 0) {
        TW_ERROR(kComponent, "Failed to get sync_id for session %llu\n", (ull)sess_id);
        return -1;
    }
    TW_DEBUG(kComponent, "reload_filter for session '%llu', current sync_id [%llu]\n", (ull)sess_id, (ull)sync_id);
    if (::reload_filter(sess_id, sync_id, layout.black_list, layout.white_list) < 0) {
        TW_ERROR(kComponent, "failed to reload_filter for session '%llu'.\n", (ull)sess_id);
        return -1;
    }
    // The comparison has just cached the conditions it recorded, and the
    // next step caches every stored one: without this, each new condition
    // (a "*" white list's pull of the whole history, say) would run twice.
    ProgressCache::getInstance().rmProgressEntryBySessionId(sess_id);
    if (load_resume_condition(sess_id) < 0) {
        TW_ERROR(kComponent, "Failed to load_resume_condition for session '%llu'.\n", (ull)sess_id);
        return -1;
    }
    puller->AddRescanEvent(sess_id, !create_info["sync_mode"].asBool());
    TW_INFO(kComponent, "Folder '%s' is ready (setting: %s)\n", local_path.c_str(), create_info.toString().c_str());
    return 0;
}

int TidewellApp::load_resume_condition(uint64_t sess_id) {
    ResumeConditionList conditions;
    if (FilterDB::getInstance().getResumeConditionsBySession(sess_id, conditions) != 0) {
        TW_ERROR(kComponent, "Failed to get resume condition for session '%llu'\n", (ull)sess_id);
        return -1;
    }
    for (const auto& [row_id, condition] : conditions) {
        TW_INFO(kComponent, "Add row_id '%llu' to progress_cache.\n", (ull)row_id);
        ProgressCache::getInstance().addProgressEntry(row_id, condition);
    }
    return 0;
}
