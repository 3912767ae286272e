// What the sync tests share: sessions on real temporary folders with their
// file event databases and registry entries, a file status database, and a
// task that takes everything an event manager hands out.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "base/task.h"
#include "event/event.h"
#include "session/registry.h"
#include "store/db_file_info.h"
#include "store/file_event_db.h"
#include "store/file_status_db.h"
#include "support/temp_dir.h"
#include "sync/event_manager.h"

namespace tidewell::testing {

// A worker stand-in: counts the aborts the manager asks of it.
struct RecordingTask : Task {
    std::atomic<int> aborts{0};
    int SetAbort(bool on) override {
        if (on) ++aborts;
        return 0;
    }
};

// One session: its local folder, a file event database and its registry
// entry, which goes when the session does.
class TestSession {
public:
    TestSession(const TempDir& dir, uint64_t id, uint64_t conn_id = 7) {
        folder = dir.file("s" + std::to_string(id));
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(dir.file("conf" + std::to_string(id)));
        entry.sess_id = id;
        entry.conn_id = conn_id;
        entry.local_path = folder;
        entry.event_db = std::make_shared<FileEventDB>();
        EXPECT_EQ(entry.event_db->initialize(dir.file("conf" + std::to_string(id)) + "/event-db.sqlite"), 0);
        Registry::getInstance().Set(entry);
    }
    ~TestSession() { Registry::getInstance().Remove(entry.sess_id); }
    TestSession(const TestSession&) = delete;
    TestSession& operator=(const TestSession&) = delete;

    // Records `path` as synchronised, as a finished transfer would.
    void Record(const std::string& path, bool is_dir, uint64_t sync_id = 1) {
        DBFileInfo info;
        info.isExist = 1;
        info.path = path;
        info.fileType = is_dir ? 1 : 0;
        info.syncID = sync_id;
        info.maxSyncID = sync_id;
        info.fileSize = 3;
        info.fileCheckSum = "0123456789abcdef0123456789abcdef";
        info.fileModTime = 1700000000;
        info.execBit = 1;
        info.macHash = "mac";
        ASSERT_EQ(entry.event_db->setEventInfo(info), 0) << path;
    }

    std::string folder;
    Registry::Entry entry;
};

inline Event MakeEvent(uint64_t sess, Event::Type type, const std::string& path, uint32_t mode = 0,
                       uint64_t sync_id = 0) {
    Event e;
    e.m_sess_id = sess;
    e.m_type = type;
    e.m_path = path;
    e.m_mode = mode;
    e.m_sync_id = sync_id;
    return e;
}

// Takes every event the manager hands out, reporting each done at once
// (merged events included), as a quick worker would.
inline std::vector<Event> DrainAll(EventManager& em, Task& task) {
    std::vector<Event> got;
    for (int idle = 0; idle < 64;) {
        Event e;
        if (em.PullEvent(&task, e) != 0) {
            ++idle;
            continue;
        }
        idle = 0;
        got.push_back(e);
        while (em.DoneEvent(&task, e) == -1) got.push_back(e);
    }
    return got;
}

// Logs into a file of the test's own, read back by `text`.
class LogCapture {
public:
    // `levels`: lines of a level file ("component = level"), if any.
    explicit LogCapture(const std::string& levels = "") {
        const std::string level_file = levels.empty() ? "" : dir_.write("levels", levels);
        EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_.file("log").c_str(), level_file.c_str(), 50), 0);
    }
    ~LogCapture() { Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50); }
    std::string text() const { return TempDir::read(dir_.file("log")); }
    size_t count(const std::string& needle) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

private:
    TempDir dir_;
};

// Waits for `done` with a generous bound; false when it never came true.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

}  // namespace tidewell::testing
