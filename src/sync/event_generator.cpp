#include "sync/event_generator.h"

#include "base/logger.h"
#include "event/event.h"
#include "fs/event_path.h"
#include "fs/file_op.h"
#include "store/db_file_info.h"
#include "store/file_event_db.h"
#include "store/filter_info.h"
#include "sync/event_manager.h"

namespace {

const char* const kLog = "worker_debug";

// Why a path may not become an event of this session, or nullptr.
const char* PathProblem(const ustring& path, bool is_dir, bool is_remove, bool from_server) {
    if (const char* problem = EventPathProblem(path, EventPathRoot::Allow)) return problem;
    // The server separates with "/" only; a "\" names nothing a server
    // path may name on every platform the session may be synchronised to.
    if (from_server && path.find('\\') != ustring::npos) return "\"\\\" in a server path";
    if (path == "/" && is_remove) return "removal of the session root";
    if (path == "/" && !is_dir) return "file record at the session root";
    return nullptr;
}

bool Refused(const ustring& path, bool is_dir, bool is_remove, bool from_server, const char* what) {
    const char* problem = PathProblem(path, is_dir, is_remove, from_server);
    if (!problem) return false;
    TW_WARNING(kLog, "%s: refused path (%s) [%.256s]\n", what, problem, path.c_str());
    return true;
}

Event BaseEvent(const Registry::Entry& reg, const ustring& path, bool is_dir, Event::Type type) {
    Event e;
    e.m_type = type;
    e.m_sess_id = reg.sess_id;
    e.m_path = path;
    if (is_dir) e.setDir();
    return e;
}

// 1 with the record, 0 without, -1 when the database cannot tell.
int LookUp(Registry::Entry& reg, const ustring& path, DBFileInfo& info) {
    if (!reg.event_db) return -1;
    return reg.event_db->getEventInfo(path, info);
}

ustring LocalPath(const Registry::Entry& reg, const ustring& path) {
    return path == "/" ? reg.local_path : reg.local_path + path;
}

}  // namespace

int PushEvent(Registry::Entry& reg, const PObject& change) {
    return PushEvent(reg, change, EventManager::getInstance());
}

int PushEvent(Registry::Entry& reg, const PObject& change, EventManager& manager) {
    if (!change.isMap() || !change["path"].isString()) {
        TW_WARNING(kLog, "server change record without a path, dropped: %.256s\n", change.toString().c_str());
        return 0;
    }
    const bool is_dir = change["is_dir"].asBool();
    const bool is_removed = change["is_removed"].asBool();
    Event e = BaseEvent(reg, change["path"].asString(), is_dir, is_removed ? Event::EV_REMOVE : Event::EV_CREATE);
    if (Refused(e.m_path, is_dir, is_removed, true, "server change")) return 0;
    e.setServerEvent();
    e.m_sync_id = change["sync_id"].asUInt64();
    e.m_max_id = change["max_id"].asUInt64();
    if (change.hasMember("file")) {
        e.m_data_hash = change["file"]["hash"].asString();
        e.m_data_size = change["file"]["size"].asUInt64();
    }
    if (change.hasMember("mtime")) e.m_time = change["mtime"]["mtime"].asUInt32();
    if (change.hasMember("mac_attribute")) {
        e.m_mac_attr_hash = change["mac_attribute"]["hash"].asString();
        e.m_mac_attr_size = change["mac_attribute"]["size"].asUInt64();
    }
    if (change.hasMember("exec_bit")) e.m_exec_bit = change["exec_bit"]["exec_bit"].asUInt32();

    // Echoes: changes this session made itself and has already recorded.
    DBFileInfo info;
    const int found = LookUp(reg, e.m_path, info);
    if (found == 0 && is_removed) {
        TW_INFO(kLog, "Server delete event [%s] and cannot find db record (server echo).\n", e.m_path.c_str());
        return 0;
    }
    if (found == 1 && info.syncID >= e.m_sync_id) {
        FILE_INFO local;
        if (FSStat(LocalPath(reg, e.m_path), local, true) == 0 && local.isExist) {
            TW_INFO(kLog, "File [%s] is already up-to-date (server echo).\n", e.m_path.c_str());
            return 0;
        }
    }
    manager.PushServerEvent(e);
    return 1;
}

int PushServerRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, uint64_t sync_id, uint64_t max_id) {
    return PushServerRemoveEvent(reg, path, is_dir, sync_id, max_id, EventManager::getInstance());
}

int PushServerRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, uint64_t sync_id, uint64_t max_id,
                          EventManager& manager) {
    if (Refused(path, is_dir, true, true, "server removal")) return 0;
    Event e = BaseEvent(reg, path, is_dir, Event::EV_REMOVE);
    e.m_sync_id = sync_id;
    e.m_max_id = max_id;
    manager.PushServerEvent(e);
    return 1;
}

int PushDownloadEvent(Registry::Entry& reg, const ustring& path, bool is_dir) {
    return PushDownloadEvent(reg, path, is_dir, EventManager::getInstance());
}

int PushDownloadEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager) {
    if (Refused(path, is_dir, false, true, "forced download")) return 0;
    Event e = BaseEvent(reg, path, is_dir, Event::EV_MODIFY);
    e.m_sync_id = Event::kMadeUpSyncId;
    e.m_max_id = Event::kMadeUpSyncId;
    DBFileInfo info;
    if (LookUp(reg, path, info) == 1) {
        e.m_time = info.fileModTime;
        e.m_data_size = info.fileSize;
        e.m_data_hash = info.fileCheckSum;
        e.m_mac_attr_hash = info.macHash;
        e.m_exec_bit = info.execBit;
    } else {
        TW_WARNING(kLog, "force download event (%s) missing required info\n", path.c_str());
    }
    manager.PushServerEvent(e);
    return 1;
}

int PushUploadEvent(Registry::Entry& reg, const ustring& path, bool is_dir) {
    return PushUploadEvent(reg, path, is_dir, EventManager::getInstance());
}

int PushUploadEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager) {
    if (Refused(path, is_dir, false, false, "upload")) return 0;
    manager.PushLocalEvent(BaseEvent(reg, path, is_dir, Event::EV_MODIFY));
    return 1;
}

int PushLocalRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir) {
    return PushLocalRemoveEvent(reg, path, is_dir, EventManager::getInstance());
}

int PushLocalRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager) {
    if (Refused(path, is_dir, true, false, "local removal")) return 0;
    manager.PushLocalEvent(BaseEvent(reg, path, is_dir, Event::EV_REMOVE));
    return 1;
}

void PushEvent(Registry::Entry& reg, const FilterLocalEvent& ev) {
    PushEvent(reg, ev, EventManager::getInstance());
}

void PushEvent(Registry::Entry& reg, const FilterLocalEvent& ev, EventManager& manager) {
    if (ev.is_exist) {
        PushUploadEvent(reg, ev.path, ev.file_type != 0, manager);
    } else {
        PushDownloadEvent(reg, ev.path, ev.file_type != 0, manager);
    }
}
