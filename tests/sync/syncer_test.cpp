// The server event puller in a daemon in this process, driven through its
// control socket, against a scripted server; fake workers carry the events
// out.
#include <gtest/gtest.h>

#include "net/error_codes.h"
#include "session/registry.h"
#include "store/file_event_db.h"
#include "store/progress_cache.h"
#include "support/control_daemon.h"
#include "support/scripted_server.h"
#include "support/server_views.h"
#include "sync/event_manager.h"

namespace tidewell::testing {
namespace {

class SyncerTest : public ::testing::Test {
protected:
    void SetUp() override {
        views.Attach(server);
        daemon = std::make_unique<ControlDaemon>(TestTaskFactory(&workers));
        ASSERT_EQ(daemon->Action("link"), AckOnly());
        ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    }
    // A session whose white list's resume condition is fetched already, so
    // that the event puller serves it.
    void AddSession(uint64_t id, uint64_t view, bool resume = true, bool recursive = true) {
        dirs.push_back(std::make_unique<SessionDirs>(root, "s" + std::to_string(id)));
        PObject add = SessionRequest(id, *dirs.back(), 1, view);
        if (!recursive) add["recursive"] = uint64_t{0};
        ASSERT_EQ(daemon->Request(add), AckOnly());
        if (resume) {
            ASSERT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", id}})), AckOnly());
            ASSERT_TRUE(Eventually([id] { return !ProgressCache::getInstance().isInProgrssCache(id); }));
        }
    }
    uint64_t StoredSyncId(uint64_t id) {
        Registry::Entry e;
        EXPECT_EQ(Registry::getInstance().Find(id, e), 1);
        uint64_t sync_id = 0;
        EXPECT_EQ(e.event_db->getSyncId(sync_id), 0);
        return sync_id;
    }
    void SetStoredSyncId(uint64_t id, uint64_t sync_id) {
        Registry::Entry e;
        ASSERT_EQ(Registry::getInstance().Find(id, e), 1);
        ASSERT_EQ(e.event_db->setSyncId(sync_id), 0);
    }
    std::vector<PObject> PullsOf(uint64_t view) {
        std::vector<PObject> out;
        for (const PObject& p : Pulls(server, false))
            if (p["view_id"].asUInt64() == view) out.push_back(p);
        return out;
    }
    // Waits for `n` more event-puller pulls of `view` than now.
    bool WaitForPulls(uint64_t view, size_t n) {
        size_t now = PullsOf(view).size();
        return Eventually([&] { return PullsOf(view).size() >= now + n; });
    }

    FakeWorker::Control workers;
    ScriptedServer server;
    ServerViews views;
    TempDir root;
    std::vector<std::unique_ptr<SessionDirs>> dirs;
    std::unique_ptr<ControlDaemon> daemon;
};

TEST_F(SyncerTest, TwoSessionsAreServedInTurn) {
    AddSession(5, 50);
    AddSession(6, 60);
    size_t from = Pulls(server, false).size();
    ASSERT_TRUE(Eventually([&] { return Pulls(server, false).size() >= from + 8; }));
    std::vector<PObject> pulls = Pulls(server, false);
    for (size_t i = from + 1; i < from + 8; ++i)
        EXPECT_NE(pulls[i]["view_id"].asUInt64(), pulls[i - 1]["view_id"].asUInt64())
            << "pull " << i << " serves the same session twice in a row";
    const PObject& pull = pulls[from];
    EXPECT_EQ(pull["session"].asString(), ustring("token-of-the-test"));
    EXPECT_EQ(pull["path"].asString(), ustring("/"));
    EXPECT_TRUE(pull["recursive"].asBool());
    EXPECT_EQ(pull["file"]["offset"].asUInt64(), 0u);
    EXPECT_EQ(pull["mtime"]["offset"].asUInt64(), 0u);
    EXPECT_EQ(pull["node_id"].asUInt64(), pull["view_id"].asUInt64());
}

TEST_F(SyncerTest, ANewIdIsStoredOnlyAfterTheWorkersCarriedOutItsEvents) {
    AddSession(5, 50);
    ASSERT_TRUE(WaitForPulls(50, 1));
    workers.mode = FakeWorker::kHold;
    for (uint64_t id : {1, 2, 3}) views.Add(50, "/f" + std::to_string(id) + ".txt", id);
    ASSERT_TRUE(Eventually([] { return EventManager::getInstance().GetPendingServerEvent(5) == 3; }));
    // Held by the workers: pulled, not stored.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(StoredSyncId(5), 0u);
    EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(5), 3u);

    workers.mode = FakeWorker::kComplete;
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(5) == 3; }));
    ASSERT_TRUE(WaitForPulls(50, 1));
    EXPECT_EQ(PullsOf(50).back()["sync_id"].asUInt64(), 3u) << "the next pull starts from the stored id";
}

TEST_F(SyncerTest, AnErrorAnswerOrAMissingNextSyncIdStoresNothing) {
    AddSession(5, 50);
    SetStoredSyncId(5, 5);
    PObject internal;
    internal["error"]["code"] = uint64_t{28672};  // the internal group: no translation
    PObject no_next;
    no_next["alive"] = uint64_t{300};
    no_next["event_list"].asArray().push_back(PObject());
    no_next["event_list"][0]["path"] = "/x";
    no_next["event_list"][0]["sync_id"] = uint64_t{9};
    PObject text_next = no_next;
    text_next["next_sync_id"] = "9";
    PObject no_list;
    no_list["next_sync_id"] = uint64_t{9};
    for (const PObject& answer : {internal, no_next, text_next, no_list}) {
        server.Script("pull_event", {Answer(answer)});
        // The scripted answer goes to the next pull; the one after it shows
        // that the pass is over.
        ASSERT_TRUE(WaitForPulls(50, 2)) << answer.toString().c_str();
        EXPECT_EQ(StoredSyncId(5), 5u) << answer.toString().c_str();
        EXPECT_EQ(PullsOf(50).back()["sync_id"].asUInt64(), 5u);
        EXPECT_EQ(EventManager::getInstance().GetPendingServerEvent(5), 0u) << "nothing of it was taken";
    }
    EXPECT_EQ(daemon->notices->Count([](const PObject& n) { return n["notify"].asString() == "error"; }), 0u)
        << "a malformed or untranslatable answer is not the UI's business";
    EXPECT_GE(daemon->CountInLog("HandleError: -7."), 4u) << "each one is a server error";

    // A proper answer afterwards is taken and stored.
    views.Add(50, "/new.txt", 9);
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(5) == 9; }));
}

TEST_F(SyncerTest, RefusalsAreReportedByKind) {
    AddSession(5, 50);
    struct Case {
        uint64_t server_code;
        int error;
        const char* member;  // which id the notice names
    };
    const Case cases[] = {
        {12292, ERR_PERMISS_READ_ONLY, "session_id"},  // a read-only view
        {12290, ERR_PERMISS, "session_id"},
        {8193, ERR_AUTH, "connection_id"},
        {20481, ERR_VERSION, "connection_id"},
    };
    for (const Case& c : cases) {
        PObject refusal;
        refusal["error"]["code"] = c.server_code;
        server.Script("pull_event", {Answer(refusal)});
        auto notice = [&](const PObject& n) {
            return n["notify"].asString() == "error" && n.hasMember(c.member) &&
                   static_cast<int>(n["error_type"].asInt64()) == c.error && n["sess_id"].asUInt64() == 5 &&
                   n["conn_id"].asUInt64() == 1;
        };
        EXPECT_TRUE(daemon->notices->WaitFor(notice)) << c.server_code;
    }
    ASSERT_TRUE(WaitForPulls(50, 1)) << "the puller goes on after each";
    EXPECT_EQ(StoredSyncId(5), 0u);
}

TEST_F(SyncerTest, AStuckSessionDoesNotStopAnother) {
    AddSession(5, 50);
    AddSession(6, 60);
    workers.stuck_session = 5;  // its events are handed back for ever
    views.Add(50, "/full-disk.bin", 4);
    ASSERT_TRUE(Eventually([] { return EventManager::getInstance().GetPendingServerEvent(5) == 1; }));
    // The other session goes on being served, while 5 waits.
    views.Add(60, "/a.txt", 7);
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(6) == 7; }));
    views.Add(60, "/b.txt", 8);
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(6) == 8; }));
    ASSERT_TRUE(WaitForPulls(60, 3));
    EXPECT_EQ(StoredSyncId(5), 0u) << "nothing is stored for the stuck session";
    EXPECT_EQ(daemon->CountInLog("session 5: its server events made no progress"), 1u) << "one warning";

    // Once its events go through, it is ready again and pulls from its
    // stored id.
    workers.stuck_session = 0;
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(5) == 4; }));
}

TEST_F(SyncerTest, AResetToZeroSurvivesASyncerWaitingForWorkers) {
    AddSession(5, 50, /*resume=*/true, /*recursive=*/false);
    SetStoredSyncId(5, 5);
    ASSERT_TRUE(WaitForPulls(50, 1));
    workers.mode = FakeWorker::kHold;
    views.Add(50, "/top.txt", 6);
    ASSERT_TRUE(Eventually([] { return EventManager::getInstance().GetPendingServerEvent(5) == 1; }));
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 1; }));

    // Recursion on: everything is to be fetched again, from 0.
    size_t before = PullsOf(50).size();
    ASSERT_EQ(daemon->Request(Msg({{"action", "reload_session"}, {"session_id", uint64_t{5}}, {"recursive", uint64_t{1}}})),
              AckOnly());
    EXPECT_EQ(StoredSyncId(5), 0u);
    workers.mode = FakeWorker::kComplete;
    // The late store is refused, so the next pull starts from 0, recursive.
    ASSERT_TRUE(daemon->WaitForLog("session 5: sync id changed while its events were carried out, 6 is not stored"));
    ASSERT_TRUE(Eventually([&] {
        std::vector<PObject> pulls = PullsOf(50);
        for (size_t i = before; i < pulls.size(); ++i)
            if (pulls[i]["sync_id"].asUInt64() == 0 && pulls[i]["recursive"].asBool()) return true;
        return false;
    }));
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(5) == 6; })) << "then the pull from 0 is stored";
}

TEST_F(SyncerTest, ASessionWithoutItsConnectionDoesNotHoldUpTheOthers) {
    SessionDirs orphan(root, "orphan");
    ASSERT_EQ(daemon->Request(SessionRequest(4, orphan, /*conn_id=*/9, 40)), AckOnly());
    ASSERT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", uint64_t{4}}})), AckOnly());
    AddSession(5, 50);
    views.Add(50, "/a.txt", 3);
    ASSERT_TRUE(Eventually([&] { return StoredSyncId(5) == 3; }));
    EXPECT_TRUE(PullsOf(40).empty());
}

TEST_F(SyncerTest, TheFirstRescanIsIssuedOnceAndEveryUpToDateRoundRests) {
    AddSession(5, 50);
    ASSERT_TRUE(daemon->WaitForLog("session #5 is up-to-date, issue rescan"));
    ASSERT_TRUE(WaitForPulls(50, 3));
    EXPECT_EQ(daemon->CountInLog("issue rescan"), 1u);
    EXPECT_GE(daemon->CountInLog("all session is uptodate"), 2u);
}

}  // namespace
}  // namespace tidewell::testing
