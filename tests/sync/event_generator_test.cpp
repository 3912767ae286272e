#include "sync/event_generator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "store/filter_info.h"
#include "sync/sync_fixture.h"

namespace {

using namespace tidewell::testing;

class EventGeneratorTest : public ::testing::Test {
protected:
    EventGeneratorTest() : session(dir, 1) {
        em.SetSyncingNotifier([](const Event&) {});
        em.SetSyncingMarker([](const ustring&, bool) { return 0; });
    }

    static PObject Change(const std::string& path, bool is_removed, uint64_t sync_id, bool is_dir = false) {
        PObject c;
        c["path"] = ustring(path);
        c["is_dir"] = is_dir;
        c["is_removed"] = is_removed;
        c["sync_id"] = sync_id;
        c["max_id"] = sync_id + 100;
        return c;
    }
    void CreateLocal(const std::string& path) { std::ofstream(session.folder + path) << "abc"; }
    std::vector<Event> Pushed() { return DrainAll(em, task); }

    TempDir dir;
    TestSession session;
    EventManager em;
    RecordingTask task;
};

struct EchoCase {
    const char* name;
    bool is_removed;
    int record_sync;  // -1: no record
    bool local_exists;
    bool pushed;
};

class EchoRuleTest : public EventGeneratorTest, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(EchoRuleTest, DropsOnlyWhatTheSessionAlreadyHas) {
    const EchoCase& c = GetParam();
    if (c.record_sync >= 0) session.Record("/f.txt", false, static_cast<uint64_t>(c.record_sync));
    if (c.local_exists) CreateLocal("/f.txt");
    EXPECT_EQ(PushEvent(session.entry, Change("/f.txt", c.is_removed, 7), em), c.pushed ? 1 : 0);
    const std::vector<Event> got = Pushed();
    ASSERT_EQ(got.size(), c.pushed ? 1u : 0u);
    if (c.pushed) {
        EXPECT_TRUE(got[0].isServerEvent());
        EXPECT_EQ(got[0].m_type, c.is_removed ? Event::EV_REMOVE : Event::EV_CREATE);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EchoRuleTest,
                         ::testing::Values(EchoCase{"removal_without_record", true, -1, false, false},
                                           EchoCase{"change_without_record", false, -1, true, true},
                                           EchoCase{"newer_than_record", false, 5, true, true},
                                           EchoCase{"same_as_record_local_present", false, 7, true, false},
                                           EchoCase{"older_than_record_local_present", false, 9, true, false},
                                           EchoCase{"same_as_record_local_missing", false, 7, false, true},
                                           EchoCase{"removal_same_as_record_local_present", true, 7, true, false},
                                           EchoCase{"removal_newer_than_record", true, 5, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventGeneratorTest, DatabaseFailureLetsTheChangeThrough) {
    Registry::Entry broken = session.entry;
    broken.event_db = std::make_shared<FileEventDB>();  // never opened
    EXPECT_EQ(PushEvent(broken, Change("/f.txt", true, 3), em), 1);
    broken.event_db.reset();
    EXPECT_EQ(PushEvent(broken, Change("/g.txt", false, 3), em), 1);
    EXPECT_EQ(Pushed().size(), 2u);
}

TEST_F(EventGeneratorTest, ChangeRecordMembersBecomeEventFields) {
    PObject c = Change("/d/a.bin", false, 11);
    c["file"]["hash"] = ustring("00112233445566778899aabbccddeeff");
    c["file"]["size"] = uint64_t{4096};
    c["mtime"]["mtime"] = uint32_t{1700000123};
    c["mac_attribute"]["hash"] = ustring("machash");
    c["mac_attribute"]["size"] = uint64_t{12};
    c["exec_bit"]["exec_bit"] = uint32_t{1};
    ASSERT_EQ(PushEvent(session.entry, c, em), 1);
    ASSERT_EQ(PushEvent(session.entry, Change("/d/plain", false, 12), em), 1);
    ASSERT_EQ(PushEvent(session.entry, Change("/d/sub", false, 13, true), em), 1);
    std::vector<Event> got = Pushed();
    ASSERT_EQ(got.size(), 3u);
    const Event& e = got[0];
    EXPECT_EQ(e.m_path, "/d/a.bin");
    EXPECT_EQ(e.m_mode, static_cast<uint32_t>(Event::F_SERVER));
    EXPECT_EQ(e.m_sync_id, 11u);
    EXPECT_EQ(e.m_max_id, 111u);
    EXPECT_EQ(e.m_data_hash, "00112233445566778899aabbccddeeff");
    EXPECT_EQ(e.m_data_size, 4096u);
    EXPECT_EQ(e.m_time, 1700000123u);
    EXPECT_EQ(e.m_mac_attr_hash, "machash");
    EXPECT_EQ(e.m_mac_attr_size, 12u);
    EXPECT_EQ(e.m_exec_bit, 1u);
    EXPECT_EQ(e.m_sess_id, 1u);
    EXPECT_EQ(got[1].m_data_size, 0u);  // without "file"
    EXPECT_TRUE(got[1].m_data_hash.empty());
    EXPECT_EQ(got[2].m_mode, static_cast<uint32_t>(Event::F_SERVER | Event::F_DIR));
}

// A hostile or broken change record never becomes an event, whatever the
// database says about it.
TEST_F(EventGeneratorTest, HostilePathsAreDroppedWithAWarning) {
    LogCapture log;
    struct Case {
        std::string path;
        bool is_removed;
        bool is_dir;
    } cases[] = {
        {"/../../x", false, false}, {"/a/../../b", false, false}, {"/a/./b", true, false},  {"a/b", false, false},
        {"", false, false},         {"/a/", false, false},        {"/a//b", false, true},   {"/a\\..\\b", false, false},
        {"/", true, true},          {"/", false, false},          {"/" + std::string(1024, 'n'), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PushEvent(session.entry, Change(c.path, c.is_removed, 9, c.is_dir), em), 0) << c.path.substr(0, 20);
        EXPECT_EQ(PushServerRemoveEvent(session.entry, c.path, c.is_dir, 9, 9, em), 0);
        EXPECT_EQ(PushDownloadEvent(session.entry, c.path, c.is_dir, em), c.path == "/" && c.is_dir ? 1 : 0);
    }
    PObject no_path;
    no_path["is_removed"] = true;
    EXPECT_EQ(PushEvent(session.entry, no_path, em), 0);
    EXPECT_EQ(PushEvent(session.entry, PObject(ustring("/x")), em), 0);
    EXPECT_EQ(PushUploadEvent(session.entry, "/../x", false, em), 0);
    EXPECT_EQ(PushLocalRemoveEvent(session.entry, "/", true, em), 0);
    // A local name may hold a "\": only server paths are refused for it.
    EXPECT_EQ(PushUploadEvent(session.entry, "/a\\b", false, em), 1);

    std::vector<std::string> paths;
    for (const Event& e : Pushed()) paths.push_back(e.m_path.str());
    EXPECT_EQ(paths, (std::vector<std::string>{"/", "/a\\b"}));  // the root directory's forced download
    // Three calls per case, less the root directory's forced download, and
    // the refused upload and local removal.
    EXPECT_EQ(log.count("refused path"), std::size(cases) * 3 - 1 + 2);
    EXPECT_EQ(log.count("server change record without a path"), 2u);
}

TEST_F(EventGeneratorTest, ForcedDownloadCarriesTheRecordAndTheMadeUpSyncId) {
    LogCapture log;
    session.Record("/known.txt", false, 4);
    EXPECT_EQ(PushDownloadEvent(session.entry, "/known.txt", false, em), 1);
    EXPECT_EQ(PushDownloadEvent(session.entry, "/unknown.txt", false, em), 1);
    std::vector<Event> got = Pushed();
    ASSERT_EQ(got.size(), 2u);
    for (const Event& e : got) {
        EXPECT_TRUE(e.isServerEvent());
        EXPECT_EQ(e.m_type, Event::EV_MODIFY);
        EXPECT_EQ(e.m_sync_id, Event::kMadeUpSyncId);
        EXPECT_EQ(e.m_max_id, Event::kMadeUpSyncId);
    }
    EXPECT_EQ(got[0].m_data_hash, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(got[0].m_data_size, 3u);
    EXPECT_EQ(got[0].m_time, 1700000000u);
    EXPECT_EQ(got[0].m_mac_attr_hash, "mac");
    EXPECT_EQ(got[0].m_exec_bit, 1u);
    EXPECT_TRUE(got[1].m_data_hash.empty());
    EXPECT_EQ(got[1].m_data_size, 0u);
    EXPECT_EQ(log.count("force download event (/unknown.txt) missing required info"), 1u);
}

TEST_F(EventGeneratorTest, InjectedAndHeldBackEvents) {
    EXPECT_EQ(PushUploadEvent(session.entry, "/up", false, em), 1);
    EXPECT_EQ(PushLocalRemoveEvent(session.entry, "/gone", true, em), 1);
    EXPECT_EQ(PushServerRemoveEvent(session.entry, "/srv", false, 21, 30, em), 1);
    FilterLocalEvent present;
    present.path = "/held";
    present.is_exist = 1;
    FilterLocalEvent absent;
    absent.path = "/held-dir";
    absent.file_type = 1;
    PushEvent(session.entry, present, em);
    PushEvent(session.entry, absent, em);

    std::vector<Event> got = Pushed();
    ASSERT_EQ(got.size(), 5u);
    auto find = [&got](const char* path) {
        for (const Event& e : got)
            if (e.m_path == path) return e;
        ADD_FAILURE() << "no event for " << path;
        return Event();
    };
    const Event up = find("/up"), gone = find("/gone"), srv = find("/srv");
    const Event held = find("/held"), held_dir = find("/held-dir");
    EXPECT_EQ(up.m_type, Event::EV_MODIFY);
    EXPECT_TRUE(up.isLocalEvent() && up.isFile());
    EXPECT_EQ(gone.m_type, Event::EV_REMOVE);
    EXPECT_TRUE(gone.isLocalEvent() && gone.isDir());
    EXPECT_EQ(srv.m_type, Event::EV_REMOVE);
    EXPECT_TRUE(srv.isServerEvent());
    EXPECT_EQ(srv.m_sync_id, 21u);
    EXPECT_EQ(srv.m_max_id, 30u);
    EXPECT_TRUE(held.isLocalEvent());  // exists: offered again as an upload
    EXPECT_EQ(held.m_type, Event::EV_MODIFY);
    EXPECT_TRUE(held_dir.isServerEvent() && held_dir.isDir());  // gone: fetched back
    EXPECT_EQ(held_dir.m_sync_id, Event::kMadeUpSyncId);
}

}  // namespace
