// The merge policy of the event tree: what a path keeps when a new event
// arrives while another is pending there. Pure functions of the two events'
// kind, origin and sync id, so that the policy can be read and tested apart
// from the tree that applies it.
//
// Files (the new event has F_DIR clear):
//
//   old \ new        local change  local remove  server change     server remove
//   local change     new           new           new + F_CONFLICT  old
//   local remove     new           new           new               new
//   server change    old+F_CONFLICT old          higher sync id    higher sync id
//   server remove    new           old           higher sync id    higher sync id
//
// Directories: two server events go by the higher sync id, anything else
// takes the new event; a removal replaced by a change marks the result for a
// sub-directory rescan of the removal's origin.
//
// "Higher sync id" keeps the old event when its sync id is at least the new
// one's, unless the old one carries the made-up id (Event::kMadeUpSyncId),
// which never wins against a newer server event.
#pragma once

#include <cstdint>

namespace event_merge {

// The fields a merge decides on.
struct Key {
    int type;
    uint32_t mode;
    uint64_t syncID;
};

struct Result {
    bool take_new;      // the new event replaces the old one whole
    uint32_t add_mode;  // flags added to the kept event
};

// The table above. An empty side (EV_EMPTY) always gives way to the other.
Result HandleConflict(const Key& old_key, const Key& new_key);

// The mixed-origin cells: a local removal gives way to the server, a server
// removal to the local change; two changes keep the server's with
// F_CONFLICT. `server_is_new` tells which of the two arrived last.
Result HandleTypeConflict(bool server_is_new, const Key& server, const Key& local);

// The sub-directory rescan flag (F_LOCAL_SUBDIR_RESCAN or
// F_SERVER_SUBDIR_RESCAN) that a directory merge adds when it replaced a
// pending removal by a change of type `result_type`; 0 when none applies.
uint32_t SubDirRescanMark(const Key& old_key, const Key& new_key, int result_type);

}  // namespace event_merge
