// One session's pending work as the event manager keeps it: the session's
// event tree, which merges events per path, and a first-in first-out queue
// of expand events (directories to walk), which never enter the tree.
//
// Not thread-safe on its own: the event manager calls it under its lock.
// The counters of the tree may be read without that lock (count queries).
#pragma once

#include <cstddef>
#include <deque>

#include "base/ustring.h"
#include "event/event.h"
#include "event/event_list2.h"

struct event_pool {
    // An empty tree whose file-status entries are named below `watch_path`
    // (the session's local folder), and an empty expand queue.
    explicit event_pool(const ustring& watch_path);

    // Queues `e`: an expand event of a directory goes to the expand queue (a
    // rescan of "/" first empties it, since it covers every walk queued
    // before); any other event is merged into the tree. 0 when stored; -1
    // when ignored (EV_EMPTY, an expand event of a file) or refused by the
    // tree.
    int push(const Event& e);
    // Tree events come first: an expand event is handed out only when the
    // tree has nothing that may run now. 1 with the event in `e`, else 0.
    int pop(Event& e);

    // Events held by the tree (processing ones included) plus queued expands.
    size_t size();
    bool is_empty();
    int get_local_event_count();
    int get_server_event_count();
    // Empties the tree and the expand queue.
    void clear();

    const ustring& watch_path() const { return watch_path_; }

    EventList2 event_tree;
    std::deque<Event> expand_events;

private:
    ustring watch_path_;
};
