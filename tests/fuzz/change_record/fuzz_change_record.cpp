// Server change records built from arbitrary bytes, fed to the event
// generator: whatever the record holds, every event that reaches the event
// manager names an item strictly inside the session folder (or the folder
// itself as a directory that changed), and the manager is left empty once
// everything is handed out and done.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/logger.h"
#include "base/task.h"
#include "fs/event_path.h"
#include "session/registry.h"
#include "store/db_file_info.h"
#include "store/file_event_db.h"
#include "support/fuzz_files.h"
#include "sync/event_generator.h"
#include "sync/event_manager.h"

namespace {

struct Worker : Task {};

Registry::Entry* g_session;
EventManager* g_manager;
Worker* g_worker;

// A member of a random type; the generator must cope with any of them.
PObject AnyValue(FuzzedDataProvider& in, int depth) {
    switch (in.ConsumeIntegralInRange<int>(0, depth > 2 ? 2 : 4)) {
        case 0:
            return PObject();
        case 1:
            return PObject(in.ConsumeIntegral<uint64_t>());
        case 2:
            return PObject(ustring(in.ConsumeRandomLengthString(64)));
        case 3: {
            PObject m;
            const int n = in.ConsumeIntegralInRange<int>(0, 4);
            static const char* const kKeys[] = {"hash", "size", "mtime", "exec_bit", "x"};
            for (int i = 0; i < n; ++i) m[kKeys[in.ConsumeIntegralInRange<int>(0, 4)]] = AnyValue(in, depth + 1);
            return m;
        }
        default: {
            PObject a;
            a.asArray().push_back(AnyValue(in, depth + 1));
            return a;
        }
    }
}

ustring AnyPath(FuzzedDataProvider& in) {
    static const char* const kPieces[] = {"/", "..", ".", "a", "b", "\\", "//", "/../", "\xff", ".CorvexaWorkingDirectory"};
    std::string path;
    const int n = in.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < n; ++i) {
        if (in.ConsumeBool()) {
            path += kPieces[in.ConsumeIntegralInRange<int>(0, 9)];
        } else {
            path += in.ConsumeRandomLengthString(16);
        }
    }
    return ustring(path);
}

void CheckAndFinish() {
    Event e;
    int guard = 0;
    while (g_manager->PullEvent(g_worker, e) == 0 && ++guard < 1000) {
        do {
            if (!IsValidEventPath(e.m_path, EventPathRoot::Allow)) std::abort();
            if (e.isServerEvent() && e.m_path.find('\\') != ustring::npos) std::abort();
            if (e.m_path == "/" && (e.m_type == Event::EV_REMOVE || e.isFile())) std::abort();
        } while (g_manager->DoneEvent(g_worker, e) == -1);
    }
    if (g_manager->GetAllPendingEventCount(1) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string dir = tidewell::fuzzing::temp_folder("fuzz-change-record");
    const std::string levels = dir + "/levels";
    tidewell::fuzzing::write_file(levels, "worker_debug=2\nevent_mgr_debug=2\nevent_list_debug=2\n", 52);
    Logger::Initialize(Logger::STDERR_LOGGER, "", ustring(levels), 1);
    g_session = new Registry::Entry();
    g_session->sess_id = 1;
    g_session->local_path = dir + "/folder";
    std::filesystem::create_directories(dir + "/folder");
    tidewell::fuzzing::write_file(dir + "/folder/a", "x", 1);
    g_session->event_db = std::make_shared<FileEventDB>();
    if (g_session->event_db->initialize(dir + "/event-db.sqlite") != 0) std::abort();
    for (const char* p : {"/a", "/a/b", "/b"}) {
        DBFileInfo info;
        info.isExist = 1;
        info.path = p;
        info.syncID = 5;
        info.fileType = p[2] == 0 ? 1 : 0;
        g_session->event_db->setEventInfo(info);
    }
    Registry::getInstance().Set(*g_session);
    g_manager = new EventManager();
    g_manager->SetSyncingNotifier([](const Event&) {});
    g_manager->SetSyncingMarker([](const ustring&, bool) { return 0; });
    g_worker = new Worker();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    PObject change;
    if (in.ConsumeBool()) {
        change["path"] = AnyPath(in);
    } else {
        change["path"] = AnyValue(in, 0);
    }
    static const char* const kMembers[] = {"is_dir", "is_removed", "sync_id", "max_id", "file", "mtime",
                                           "mac_attribute", "exec_bit"};
    for (const char* m : kMembers)
        if (in.ConsumeBool())
            change[m] = in.ConsumeBool() ? PObject(in.ConsumeIntegralInRange<uint64_t>(0, 9)) : AnyValue(in, 1);
    const int result = PushEvent(*g_session, change, *g_manager);
    if (result != 0 && result != 1) std::abort();
    const ustring path = AnyPath(in);
    const bool is_dir = in.ConsumeBool();
    PushServerRemoveEvent(*g_session, path, is_dir, 3, 4, *g_manager);
    PushDownloadEvent(*g_session, path, is_dir, *g_manager);
    PushUploadEvent(*g_session, path, is_dir, *g_manager);
    PushLocalRemoveEvent(*g_session, path, is_dir, *g_manager);
    CheckAndFinish();
    return 0;
}
