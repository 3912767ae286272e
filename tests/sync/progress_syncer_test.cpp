// The progress syncer in a daemon in this process: resume conditions left
// by loosened filters, fetched condition by condition from a scripted
// server.
#include <gtest/gtest.h>

#include <algorithm>

#include "session/registry.h"
#include "store/filter_db.h"
#include "store/filter_info.h"
#include "store/progress_cache.h"
#include "support/control_daemon.h"
#include "support/scripted_server.h"
#include "support/server_views.h"
#include "sync/event_manager.h"

namespace tidewell::testing {
namespace {

const char kSelective[] =
    "[Version]\nmajor = 1\nminor = 0\n[Common]\nblack_path_prefix_selective_sync = \"/big\"\n"
    "[File]\nblack_ext_selective_sync = \"mp4\"\nblack_name_selective_sync = \"secret.txt\"\n"
    "max_size_selective_sync = 100\n";
const char kNothingHeld[] = "[Version]\nmajor = 1\nminor = 0\n[Common]\n[File]\n";

class ProgressSyncerTest : public ::testing::Test {
protected:
    void SetUp() override {
        views.Attach(server);
        daemon = std::make_unique<ControlDaemon>(TestTaskFactory(&workers));
        ASSERT_EQ(daemon->Action("link"), AckOnly());
        ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    }
    size_t Conditions(uint64_t sess_id) {
        ResumeConditionList list;
        EXPECT_EQ(FilterDB::getInstance().getResumeConditionsBySession(sess_id, list), 0);
        return list.size();
    }
    PObject Resume(uint64_t id) { return daemon->Request(Msg({{"action", "resume"}, {"session_id", id}})); }
    PObject ReloadFilters(uint64_t id) {
        return daemon->Request(Msg({{"action", "reload_session"}, {"session_id", id}, {"do_reload_filter", uint64_t{1}}}));
    }

    FakeWorker::Control workers;
    ScriptedServer server;
    ServerViews views;
    TempDir root;
    std::unique_ptr<ControlDaemon> daemon;
};

TEST_F(ProgressSyncerTest, EachKindOfConditionIsPulledWithItsMembersAndCompletes) {
    SessionDirs dirs(root, "s5");
    dirs.WriteBlackList(kSelective);
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs, 1, 50)), AckOnly());
    ASSERT_EQ(Resume(5), AckOnly());
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(5); }));

    // Loosened: nothing is held back any more.
    dirs.WriteBlackList(kNothingHeld);
    ASSERT_EQ(ReloadFilters(5), AckOnly());
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(5); }));
    EXPECT_EQ(Conditions(5), 0u) << "every condition completed and was deleted";

    std::vector<std::string> conditions;
    for (const PObject& pull : Pulls(server, true)) {
        EXPECT_EQ(pull["view_id"].asUInt64(), 50u);
        EXPECT_EQ(pull["session"].asString(), ustring("token-of-the-test"));
        conditions.push_back(pull["condition"].toString().str());
    }
    std::sort(conditions.begin(), conditions.end());
    PObject ext, prefix, name, size;
    ext["extension"] = "*";
    prefix["prefix"] = "/big";
    name["name"] = "secret.txt";
    size["min_size"] = uint64_t{100};
    size["max_size"] = UINT64_MAX;
    PObject mp4;
    mp4["extension"] = "mp4";
    std::vector<std::string> expected = {ext.toString().str(), prefix.toString().str(), name.toString().str(),
                                         size.toString().str(), mp4.toString().str()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(conditions, expected);
}

TEST_F(ProgressSyncerTest, AnUndecodableSizeOrUnknownKindGoesWithoutCondition) {
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs, 1, 50)), AckOnly());
    for (const auto& [type, desc] : {std::pair<int, const char*>{FILTER_TYPE_SIZE, "from=ten,to=20"}, {-40, "x"}}) {
        ResumeCondition c;
        c.sess_id = 5;
        c.sync_id = 7;
        c.filter_type = type;
        c.filter_desc = desc;
        uint64_t row = 0;
        ASSERT_EQ(FilterDB::getInstance().setResumeCondition(c, row), 0);
        ProgressCache::getInstance().addProgressEntry(row, c);
    }
    ASSERT_EQ(Resume(5), AckOnly());
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(5); }));
    size_t without = 0;
    for (const PObject& pull : Pulls(server, false))
        if (pull["sync_id"].asUInt64() == 7) ++without;
    EXPECT_EQ(without, 2u);
    EXPECT_TRUE(daemon->Log().find("Failed to decode resume size filter 'from=ten,to=20'") != std::string::npos);
    EXPECT_TRUE(daemon->Log().find("Unknow filter type '-40'.") != std::string::npos);
}

TEST_F(ProgressSyncerTest, AConditionAdvancesAfterTheWorkersAndAMissingNextIdKeepsIt) {
    SessionDirs dirs(root, "s5");
    views.Add(50, "/a.txt", 1);
    views.Add(50, "/b.txt", 2);
    workers.mode = FakeWorker::kHold;
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs, 1, 50)), AckOnly());
    PObject no_next;
    no_next["alive"] = uint64_t{300};
    server.Script("pull_event", {Answer(no_next)});
    ASSERT_EQ(Resume(5), AckOnly());
    // The first answer had no next_sync_id: the condition at 0 is not taken
    // for complete.
    ASSERT_TRUE(Eventually([&] { return Pulls(server, true).size() >= 2; }));
    EXPECT_EQ(Conditions(5), 1u);

    ASSERT_TRUE(Eventually([] { return EventManager::getInstance().GetPendingServerEvent(5) == 2; }));
    std::vector<ProgressCache::Entry> cache;
    ProgressCache::getInstance().getProgressEntries(cache);
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache[0].condition.sync_id, 0u) << "held by the workers: not advanced";

    workers.mode = FakeWorker::kComplete;
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(5); }));
    std::vector<PObject> pulls = Pulls(server, true);
    EXPECT_EQ(pulls.back()["sync_id"].asUInt64(), 2u) << "the last pull started from the advanced id";
    EXPECT_EQ(Conditions(5), 0u);
}

TEST_F(ProgressSyncerTest, ABlockedConditionDoesNotStallTheNext) {
    SessionDirs paused(root, "paused"), busy(root, "busy");
    ASSERT_EQ(daemon->Request(SessionRequest(4, paused, 1, 40)), AckOnly());  // its condition is first
    ASSERT_EQ(daemon->Request(SessionRequest(5, busy, 1, 50)), AckOnly());
    ASSERT_EQ(Resume(5), AckOnly());
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(5); }));
    EXPECT_TRUE(ProgressCache::getInstance().isInProgrssCache(4)) << "the paused session's condition waits";
    for (const PObject& pull : Pulls(server, true)) EXPECT_EQ(pull["view_id"].asUInt64(), 50u);
    ASSERT_EQ(Resume(4), AckOnly());
    ASSERT_TRUE(Eventually([] { return !ProgressCache::getInstance().isInProgrssCache(4); }));
}

}  // namespace
}  // namespace tidewell::testing
