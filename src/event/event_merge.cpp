#include "event/event_merge.h"

#include "event/event.h"

namespace event_merge {

Result HandleTypeConflict(bool server_is_new, const Key& server, const Key& local) {
    if (local.type == Event::EV_REMOVE) return {server_is_new, 0};
    if (server.type == Event::EV_REMOVE) return {!server_is_new, 0};
    return {server_is_new, Event::F_CONFLICT};
}

Result HandleConflict(const Key& old_key, const Key& new_key) {
    if (old_key.type == Event::EV_EMPTY) return {true, 0};
    if (new_key.type == Event::EV_EMPTY) return {false, 0};

    const bool old_server = (old_key.mode & Event::F_SERVER) != 0;
    const bool new_server = (new_key.mode & Event::F_SERVER) != 0;
    const bool keep_old_by_id = old_key.syncID >= new_key.syncID && old_key.syncID != Event::kMadeUpSyncId;

    if (new_key.mode & Event::F_DIR) {
        if (old_server && new_server) return {!keep_old_by_id, 0};
        return {true, 0};
    }
    if (old_server == new_server) {
        if (!old_server) return {true, 0};
        return {!keep_old_by_id, 0};
    }
    if (new_server) return HandleTypeConflict(true, new_key, old_key);
    return HandleTypeConflict(false, old_key, new_key);
}

uint32_t SubDirRescanMark(const Key& old_key, const Key& new_key, int result_type) {
    const bool rule_applies = old_key.type != Event::EV_EMPTY && new_key.type != Event::EV_EMPTY;
    if (!rule_applies || !(new_key.mode & Event::F_DIR)) return 0;
    if (old_key.type != Event::EV_REMOVE || result_type == Event::EV_REMOVE) return 0;
    return (old_key.mode & Event::F_SERVER) ? Event::F_SERVER_SUBDIR_RESCAN : Event::F_LOCAL_SUBDIR_RESCAN;
}

}  // namespace event_merge
