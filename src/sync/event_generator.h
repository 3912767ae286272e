// Builds the events of one session and pushes them into the event manager:
// server events from the server's change records (dropping echoes of changes
// the session made itself), and the events that control actions and workers
// inject (forced download, forced upload, local and server removals, and
// local changes held back by filters).
//
// Every path is checked first with the shared event-path check; a path that
// fails it, a server path with "\", a removal of "/" and a file event at "/"
// are dropped with a warning (result 0), so that a hostile change record such
// as "/../../x" never becomes an event.
#pragma once

#include <cstdint>

#include "base/ustring.h"
#include "session/registry.h"
#include "value/pobject.h"

class EventManager;
struct FilterLocalEvent;

// 1 when a server event was pushed; 0 when the change was dropped (an echo,
// a malformed record or a refused path).
int PushEvent(Registry::Entry& reg, const PObject& change);
int PushEvent(Registry::Entry& reg, const PObject& change, EventManager& manager);

// Each returns 1 when the event was pushed, 0 when its path was refused.
int PushServerRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, uint64_t sync_id, uint64_t max_id);
// A server EV_MODIFY with the made-up sync id (Event::kMadeUpSyncId), so
// that the worker downloads the item whatever server event is pending; it
// carries the database record's metadata when there is one.
int PushDownloadEvent(Registry::Entry& reg, const ustring& path, bool is_dir);
int PushDownloadEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager);
// A local EV_MODIFY.
int PushUploadEvent(Registry::Entry& reg, const ustring& path, bool is_dir);
int PushUploadEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager);
// A local EV_REMOVE.
int PushLocalRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir);
int PushLocalRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, EventManager& manager);
int PushServerRemoveEvent(Registry::Entry& reg, const ustring& path, bool is_dir, uint64_t sync_id, uint64_t max_id,
                          EventManager& manager);

// A local change that filters held back: offered again as an upload when the
// item exists, else as a download.
void PushEvent(Registry::Entry& reg, const FilterLocalEvent& ev);
void PushEvent(Registry::Entry& reg, const FilterLocalEvent& ev, EventManager& manager);
