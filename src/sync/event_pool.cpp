#include "sync/event_pool.h"

#include "base/logger.h"
#include "store/event_tree_status.h"

namespace {

const char* const kLog = "event_mgr_debug";

bool LogEnabled(Logger::Level level) {
    return Logger::Enabled(level, kLog);
}

}  // namespace

event_pool::event_pool(const ustring& watch_path) : watch_path_(watch_path) {
    event_tree.Clear();
    event_tree.SetWatchPath(watch_path);
    AttachFileStatusDB(event_tree);
}

int event_pool::push(const Event& e) {
    if (e.m_type == Event::EV_EMPTY) return -1;
    if (!e.isExpand()) return event_tree.Push(e) == 0 ? 0 : -1;
    if (!e.isDir()) return -1;
    if (e.isRescan() && e.m_path == "/") {
        TW_INFO(kLog, "Merging expand event.\n");
        expand_events.clear();
    }
    expand_events.push_back(e);
    if (LogEnabled(Logger::L_DEBUG)) TW_DEBUG(kLog, "Push expand event [%s].\n", e.toString().c_str());
    return 0;
}

int event_pool::pop(Event& e) {
    if (!event_tree.IsEmpty() && event_tree.Pop(e) == 0) {
        if (LogEnabled(Logger::L_DEBUG)) TW_DEBUG(kLog, "event_pool: Pop an event [%s]\n", e.toString().c_str());
        return 1;
    }
    if (!expand_events.empty()) {
        e = std::move(expand_events.front());
        expand_events.pop_front();
        if (LogEnabled(Logger::L_DEBUG)) TW_DEBUG(kLog, "event_pool: Pop an expand event [%s]\n", e.toString().c_str());
        return 1;
    }
    return 0;
}

size_t event_pool::size() {
    return static_cast<size_t>(event_tree.GetLocalEventCount()) +
           static_cast<size_t>(event_tree.GetServerEventCount()) + expand_events.size();
}

bool event_pool::is_empty() {
    return event_tree.IsEmpty() && expand_events.empty();
}

int event_pool::get_local_event_count() {
    return event_tree.GetLocalEventCount();
}

int event_pool::get_server_event_count() {
    return event_tree.GetServerEventCount();
}

void event_pool::clear() {
    event_tree.Clear();
    expand_events.clear();
}
