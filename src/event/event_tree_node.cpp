#include "event/event_tree_node.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

EventTreeNode::~EventTreeNode() {
    if (blob_heap) std::free(blob);
}

void EventTreeNode::BuildBlob(std::string_view n, std::string_view p, std::string_view h, std::string_view o,
                              std::string_view m) {
    const size_t total = n.size() + p.size() + h.size() + o.size() + m.size();
    const std::string_view parts[] = {n, p, h, o, m};
    auto write = [&parts](char* out) {
        for (std::string_view s : parts) {
            if (!s.empty()) std::memcpy(out, s.data(), s.size());
            out += s.size();
        }
    };
    if (total <= blob_cap) {
        bool overlaps = false;
        for (std::string_view s : parts) overlaps = overlaps || (s.data() >= blob && s.data() < blob + blob_cap);
        if (overlaps) {
            std::string staged(total, '\0');
            write(staged.data());
            std::memcpy(blob, staged.data(), total);
        } else {
            write(blob);
        }
    } else {
        char* fresh = static_cast<char*>(std::malloc(total));
        if (!fresh) throw std::bad_alloc();
        write(fresh);  // the parts may point into the old block: it goes only now
        if (blob_heap) std::free(blob);
        blob = fresh;
        blob_cap = static_cast<uint32_t>(total);
        blob_heap = true;
    }
    name_len = static_cast<uint16_t>(n.size());
    path_len = static_cast<uint16_t>(p.size());
    hash_len = static_cast<uint32_t>(h.size());
    opt_len = static_cast<uint32_t>(o.size());
    mac_len = static_cast<uint32_t>(m.size());
}

void EventTreeNode::SetName(std::string_view n) {
    BuildBlob(n, {}, {}, {}, {});
}

void EventTreeNode::SetStrings(std::string_view p, std::string_view h, std::string_view o, std::string_view m) {
    BuildBlob(name(), p, h, o, m);
}

void EventTreeNode::SetFields(const Event& e) {
    type = e.m_type;
    mode = e.m_mode;
    syncID = e.m_sync_id;
    maxSyncID = e.m_max_id;
    sessID = e.m_sess_id;
    size = e.m_data_size;
    mac_attr_size = e.m_mac_attr_size;
    time = e.m_time;
    exec_bit = e.m_exec_bit;
}

void EventTreeNode::SetNameAndEvent(std::string_view n, const Event& e) {
    SetFields(e);
    BuildBlob(n, e.m_path.view(), e.m_data_hash.view(), e.m_opt.view(), e.m_mac_attr_hash.view());
}

void EventTreeNode::SetEvent(const Event& e) {
    SetFields(e);
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
