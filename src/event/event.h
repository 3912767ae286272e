// One pending change to one path of one session, or an instruction to walk
// (expand) or rescan a directory. Events are passed and stored by value.
#pragma once

#include <cstdint>

#include "base/ustring.h"

class Event {
public:
    enum Type : int {
        EV_EMPTY = 0,
        EV_CREATE = 1,
        EV_REMOVE = 2,
        EV_MODIFY = 3,
        EV_RENAME = 4,
    };

    enum {
        F_DIR = 1,
        F_SERVER = 2,
        F_EXPAND = 4,
        F_RESCAN = 8,
        F_MERGE = 16,
        F_EXCEP = 32,
        F_LOCAL_SUBDIR_RESCAN = 64,
        F_SERVER_SUBDIR_RESCAN = 128,
        F_LOCAL_SUBDIR_RESCAN_STAT = 256,
        F_SERVER_SUBDIR_RESCAN_STAT = 512,
        F_CONFLICT = 1024,
    };

    // A server sync id that a producer made up rather than took from the
    // server's change list; it never wins a merge against a newer server event.
    static constexpr uint64_t kMadeUpSyncId = 9223372036854775807ULL;

    Event() = default;
    Event(const Event&) = default;
    Event& operator=(const Event&) = default;

    void clear();
    void swap(Event& other) noexcept;

    bool isValid() const { return m_type != EV_EMPTY; }
    bool isServerEvent() const { return (m_mode & F_SERVER) != 0; }
    bool isLocalEvent() const { return (m_mode & F_SERVER) == 0; }
    bool isDir() const { return (m_mode & F_DIR) != 0; }
    bool isFile() const { return (m_mode & F_DIR) == 0; }
    bool isExpand() const { return (m_mode & F_EXPAND) != 0; }
    bool isRescan() const { return (m_mode & F_RESCAN) != 0; }
    bool isMerge() const { return (m_mode & F_MERGE) != 0; }
    bool isConflict() const { return (m_mode & F_CONFLICT) != 0; }
    bool isLocalSubDirRescan() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN) != 0; }
    bool isServerSubDirRescan() const { return (m_mode & F_SERVER_SUBDIR_RESCAN) != 0; }
    bool isLocalSubDirRescanWithStat() const { return (m_mode & F_LOCAL_SUBDIR_RESCAN_STAT) != 0; }
    bool isServerSubDirRescanWithStat() const { return (m_mode & F_SERVER_SUBDIR_RESCAN_STAT) != 0; }
    bool isSubDirRescan() const {
        return (m_mode & (F_LOCAL_SUBDIR_RESCAN | F_SERVER_SUBDIR_RESCAN | F_LOCAL_SUBDIR_RESCAN_STAT |
                          F_SERVER_SUBDIR_RESCAN_STAT)) != 0;
    }

    void setServerEvent() { m_mode |= F_SERVER; }
    void setFile() { m_mode &= ~static_cast<uint32_t>(F_DIR); }
    void setDir() { m_mode |= F_DIR; }
    void setExpand() { m_mode |= F_EXPAND; }
    void setRescan() { m_mode |= F_RESCAN; }
    void setMerge() { m_mode |= F_MERGE; }
    void setConflict() { m_mode |= F_CONFLICT; }
    void setLocalSubDirRescan() { m_mode |= F_LOCAL_SUBDIR_RESCAN; }
    void setServerSubDirRescan() { m_mode |= F_SERVER_SUBDIR_RESCAN; }
    void setLocalSubDirRescanWithStat() { m_mode |= F_LOCAL_SUBDIR_RESCAN_STAT; }
    void setServerSubDirRescanWithStat() { m_mode |= F_SERVER_SUBDIR_RESCAN_STAT; }

    // One-line description for log lines, for example
    // "Event<EV_MODIFY>: [0] /docs/a.txt (local,file) size = 42, hash = ".
    ustring toString() const;

    Type m_type = EV_EMPTY;
    uint32_t m_mode = 0;
    uint64_t m_sync_id = 0;
    uint64_t m_max_id = 0;
    uint64_t m_data_size = 0;
    uint32_t m_time = 0;
    ustring m_data_hash;
    ustring m_path;
    ustring m_opt;
    ustring m_mac_attr_hash;
    uint64_t m_mac_attr_size = 0;
    uint64_t m_sess_id = 0;
    uint32_t m_exec_bit = 0;
};

using Event_T = Event;
