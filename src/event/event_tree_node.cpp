#include "event/event_tree_node.h"

#include <cstdlib>
#include <cstring>
#include <new>

EventTreeNode::~EventTreeNode() {
    std::free(blob);
}

void EventTreeNode::SetName(std::string_view n) {
    char* fresh = static_cast<char*>(std::malloc(n.size() ? n.size() : 1));
    if (!fresh) throw std::bad_alloc();
    std::memcpy(fresh, n.data(), n.size());
    std::free(blob);
    blob = fresh;
    name_len = static_cast<uint16_t>(n.size());
    path_len = 0;
    hash_len = opt_len = mac_len = 0;
}

void EventTreeNode::SetStrings(std::string_view p, std::string_view h, std::string_view o, std::string_view m) {
    const size_t total = name_len + p.size() + h.size() + o.size() + m.size();
    char* fresh = static_cast<char*>(std::malloc(total ? total : 1));
    if (!fresh) throw std::bad_alloc();
    char* out = fresh;
    std::memcpy(out, blob, name_len);
    out += name_len;
    for (std::string_view s : {p, h, o, m}) {
        if (!s.empty()) std::memcpy(out, s.data(), s.size());
        out += s.size();
    }
    std::free(blob);
    blob = fresh;
    path_len = static_cast<uint16_t>(p.size());
    hash_len = static_cast<uint32_t>(h.size());
    opt_len = static_cast<uint32_t>(o.size());
    mac_len = static_cast<uint32_t>(m.size());
}

void EventTreeNode::SetEvent(const Event& e) {
    type = e.m_type;
    mode = e.m_mode;
    syncID = e.m_sync_id;
    maxSyncID = e.m_max_id;
    sessID = e.m_sess_id;
    size = e.m_data_size;
    mac_attr_size = e.m_mac_attr_size;
    time = e.m_time;
    exec_bit = e.m_exec_bit;
    SetStrings(e.m_path.view(), e.m_data_hash.view(), e.m_opt.view(), e.m_mac_attr_hash.view());
}

void EventTreeNode::GetEvent(Event& e) const {
    e.m_type = static_cast<Event::Type>(type);
    e.m_mode = mode;
    e.m_sync_id = syncID;
    e.m_max_id = maxSyncID;
    e.m_sess_id = sessID;
    e.m_data_size = size;
    e.m_mac_attr_size = mac_attr_size;
    e.m_time = time;
    e.m_exec_bit = exec_bit;
    std::string_view p = path(), h = hash(), o = opt(), m = mac_attr_hash();
    e.m_path.assign(p.data(), p.size());
    e.m_data_hash.assign(h.data(), h.size());
    e.m_opt.assign(o.data(), o.size());
    e.m_mac_attr_hash.assign(m.data(), m.size());
}

void EventTreeNode::ClearEvent() {
    type = Event::EV_EMPTY;
    mode = 0;
    syncID = 0;
    SetStrings(std::string_view(), std::string_view(), opt(), mac_attr_hash());
}
