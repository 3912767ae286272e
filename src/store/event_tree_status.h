// The link between an event tree and the file status database: an event that
// the tree drops takes its FSTAT_SYNCING entry with it.
#pragma once

#include "event/event_list2.h"
#include "store/file_status_db.h"

// The removal an event tree calls for each event it drops (the session folder
// followed by the event path).
inline EventList2::FileStatusRemover FileStatusRemoverForEventTree() {
    return &FileStatusDB::rmFileStatByPath;
}

// Makes `tree` remove the entries of the events it drops.
inline void AttachFileStatusDB(EventList2& tree) {
    tree.SetFileStatusRemover(FileStatusRemoverForEventTree());
}
