#include "event/event.h"

#include <sstream>
#include <utility>

void Event::clear() {
    m_type = EV_EMPTY;
    m_mode = 0;
    m_sync_id = 0;
    m_max_id = 0;
    m_data_size = 0;
    m_time = 0;
    m_data_hash.clear();
    m_path.clear();
    m_opt.clear();
    m_mac_attr_hash.clear();
    m_mac_attr_size = 0;
    m_sess_id = 0;
    m_exec_bit = 0;
}

void Event::swap(Event& other) noexcept {
    std::swap(m_type, other.m_type);
    std::swap(m_mode, other.m_mode);
    std::swap(m_sync_id, other.m_sync_id);
    std::swap(m_max_id, other.m_max_id);
    std::swap(m_data_size, other.m_data_size);
    std::swap(m_time, other.m_time);
    m_data_hash.swap(other.m_data_hash);
    m_path.swap(other.m_path);
    m_opt.swap(other.m_opt);
    m_mac_attr_hash.swap(other.m_mac_attr_hash);
    std::swap(m_mac_attr_size, other.m_mac_attr_size);
    std::swap(m_sess_id, other.m_sess_id);
    std::swap(m_exec_bit, other.m_exec_bit);
}

ustring Event::toString() const {
    static const char* const kTypeNames[] = {"EV_EMPTY", "EV_ADD", "EV_REMOVE", "EV_MODIFY", "EV_RENAME"};
    const unsigned index = static_cast<unsigned>(m_type);
    const char* type_name = index < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[index] : "EV_UNKNOWN";

    std::ostringstream os;
    if (m_type == EV_RENAME) {
        os << "Event<" << type_name << ">: from '" << m_path.c_str() << "', to '" << m_opt.c_str() << "'";
    } else {
        os << "Event<" << type_name << ">: [" << m_sync_id << "] " << m_path.c_str() << " ("
           << (isServerEvent() ? "server" : "local") << (isDir() ? ",dir" : ",file") << (isExpand() ? ",expand" : "")
           << ")";
    }
    if (!isDir()) os << " size = " << m_data_size << ", hash = " << m_data_hash.c_str();
    return ustring(os.str());
}
