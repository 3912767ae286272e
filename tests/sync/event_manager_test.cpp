#include "sync/event_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/file_status_info.h"
#include "sync/sync_fixture.h"

namespace {

using namespace tidewell::testing;

constexpr uint32_t kD = Event::F_DIR;
constexpr uint32_t kS = Event::F_SERVER;

class EventManagerTest : public ::testing::Test {
protected:
    EventManagerTest() : s1(dir, 1), s2(dir, 2) {
        EXPECT_EQ(FileStatusDB::initialize(dir.file("fstat.sqlite")), 0);
        em.SetSyncingNotifier([this](const Event& e) {
            std::lock_guard<std::mutex> guard(notices_mutex);
            notices.push_back(e);
        });
    }
    ~EventManagerTest() override {
        em.Clear();
        FileStatusDB::destroy();
    }

    void Local(uint64_t sess, Event::Type type, const std::string& path, uint32_t mode = 0) {
        em.PushLocalEvent(MakeEvent(sess, type, path, mode));
    }
    void Server(uint64_t sess, Event::Type type, const std::string& path, uint64_t sync_id, uint32_t mode = 0) {
        em.PushServerEvent(MakeEvent(sess, type, path, mode, sync_id));
    }
    Event Pull(Task& task) {
        Event e;
        EXPECT_EQ(em.PullEvent(&task, e), 0);
        return e;
    }
    int SyncStatus(const std::string& full) {
        FileStatusInfo info;
        return FileStatusDB::getFileSyncStat(full, &info) == 1 ? info.syncStatus : -1;
    }
    size_t NoticeCount() {
        std::lock_guard<std::mutex> guard(notices_mutex);
        return notices.size();
    }

    TempDir dir;
    TestSession s1, s2;
    EventManager em;
    std::mutex notices_mutex;
    std::vector<Event> notices;
    RecordingTask t1, t2;
};

TEST_F(EventManagerTest, PullsAlternateBetweenSessions) {
    for (const char* p : {"/a", "/b", "/c"}) {
        Local(1, Event::EV_MODIFY, p);
        Local(2, Event::EV_MODIFY, p);
    }
    std::vector<uint64_t> order;
    std::vector<Event> got;
    Event e;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(em.PullEvent(&t1, e), 0);
        order.push_back(e.m_sess_id);
        ASSERT_EQ(em.DoneEvent(&t1, e), 0);
    }
    EXPECT_EQ(order, (std::vector<uint64_t>{1, 2, 1, 2, 1, 2}));
    EXPECT_EQ(em.PullEvent(&t1, e), -1);
}

TEST_F(EventManagerTest, SessionWhoseOnlyEventIsOutKeepsItsTurn) {
    Local(1, Event::EV_MODIFY, "/busy");
    Local(2, Event::EV_MODIFY, "/x");
    Local(2, Event::EV_MODIFY, "/y");
    Event busy = Pull(t1);
    EXPECT_EQ(busy.m_sess_id, 1u);
    Event x = Pull(t2);
    EXPECT_EQ(x.m_path, "/x");
    ASSERT_EQ(em.DoneEvent(&t2, x), 0);
    Event e;
    EXPECT_EQ(em.PullEvent(&t2, e), -1) << "session 1's turn, with nothing that may run";
    EXPECT_EQ(Pull(t2).m_path, "/y");
}

TEST_F(EventManagerTest, ServerChangeMergedWhileProcessingIsHandedBackOnDone) {
    Local(1, Event::EV_MODIFY, "/doc.txt");
    Event e = Pull(t1);
    EXPECT_EQ(SyncStatus(s1.folder + "/doc.txt"), FSTAT_SYNCING);
    Server(1, Event::EV_CREATE, "/doc.txt", 42);
    EXPECT_EQ(em.GetPendingServerEvent(1), 1u);

    ASSERT_EQ(em.DoneEvent(&t1, e), -1);
    EXPECT_TRUE(e.isServerEvent());
    EXPECT_TRUE(e.isConflict());
    EXPECT_EQ(e.m_sync_id, 42u);
    ASSERT_EQ(em.DoneEvent(&t1, e), 0);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
    EXPECT_EQ(em.GetPendingServerEvent(1), 0u);
    EXPECT_EQ(em.PullEvent(&t1, e), -1);
    EXPECT_EQ(em.DoneEvent(&t1, e), 0);  // no entry any more: nothing happens
}

struct AbortCase {
    const char* name;
    Event processing;
    Event pushed;
    bool aborts;
};

class EventManagerAbortTest : public EventManagerTest, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(EventManagerAbortTest, NewerEventAbortsOnlyWhatItMakesPointless) {
    const AbortCase& c = GetParam();
    if (c.processing.isServerEvent()) {
        em.PushServerEvent(c.processing);
    } else {
        em.PushLocalEvent(c.processing);
    }
    Event out = Pull(t1);
    ASSERT_EQ(out.m_path, c.processing.m_path);
    if (c.pushed.isServerEvent()) {
        em.PushServerEvent(c.pushed);
    } else {
        em.PushLocalEvent(c.pushed);
    }
    EXPECT_EQ(t1.aborts.load(), c.aborts ? 1 : 0);
}

constexpr uint32_t kExpand = Event::F_DIR | Event::F_EXPAND;

INSTANTIATE_TEST_SUITE_P(
    Table, EventManagerAbortTest,
    ::testing::Values(
        AbortCase{"local_removal_of_upload", MakeEvent(1, Event::EV_MODIFY, "/f"), MakeEvent(1, Event::EV_REMOVE, "/f"),
                  true},
        AbortCase{"local_removal_of_new_file_upload", MakeEvent(1, Event::EV_CREATE, "/f"),
                  MakeEvent(1, Event::EV_REMOVE, "/f"), true},
        AbortCase{"server_removal_of_upload", MakeEvent(1, Event::EV_MODIFY, "/f"),
                  MakeEvent(1, Event::EV_REMOVE, "/f", kS, 3), false},
        AbortCase{"local_removal_of_download", MakeEvent(1, Event::EV_CREATE, "/f", kS, 3),
                  MakeEvent(1, Event::EV_REMOVE, "/f"), false},
        AbortCase{"local_removal_of_other_path", MakeEvent(1, Event::EV_MODIFY, "/f"),
                  MakeEvent(1, Event::EV_REMOVE, "/g"), false},
        AbortCase{"local_removal_in_other_session", MakeEvent(1, Event::EV_MODIFY, "/f"),
                  MakeEvent(2, Event::EV_REMOVE, "/f"), false},
        AbortCase{"same_expand_again", MakeEvent(1, Event::EV_CREATE, "/d", kExpand),
                  MakeEvent(1, Event::EV_CREATE, "/d", kExpand), true},
        AbortCase{"rescan_of_expanding_directory", MakeEvent(1, Event::EV_CREATE, "/d", kExpand),
                  MakeEvent(1, Event::EV_CREATE, "/d", kExpand | Event::F_RESCAN), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventManagerTest, RescanOfTheRootReplacesQueuedExpansions) {
    em.IssueExpand(1, "/a");
    em.IssueExpand(1, "/b");
    Local(1, Event::EV_MODIFY, "/f");
    em.IssueRescan(1, "/", true);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 2u) << "the root and /f; expansions are not counted";

    // Tree events first; the expansion only when the tree yields nothing.
    Event root = Pull(t1);
    EXPECT_EQ(root.m_path, "/");
    EXPECT_EQ(root.m_type, Event::EV_MODIFY);
    EXPECT_TRUE(root.isDir());
    Event rescan = Pull(t2);  // nothing runs beside the root's event, so the expansion
    EXPECT_TRUE(rescan.isExpand() && rescan.isRescan() && rescan.isMerge());
    EXPECT_EQ(rescan.m_path, "/");
    Event e;
    RecordingTask idle;
    EXPECT_EQ(em.PullEvent(&idle, e), -1);
    ASSERT_EQ(em.DoneEvent(&t1, root), 0);
    ASSERT_EQ(em.DoneEvent(&t2, rescan), 0);
    EXPECT_EQ(Pull(t1).m_path, "/f");
    ASSERT_EQ(em.DoneEvent(&t1, e), 0);
    EXPECT_EQ(em.PullEvent(&t1, e), -1) << "/a and /b were superseded";
    // Only the root's modification was announced and marked; the walks are not.
    EXPECT_EQ(NoticeCount(), 2u);
    EXPECT_EQ(SyncStatus(s1.folder), FSTAT_SYNCING);
}

// A notice that does not return (a UI that never accepts, with an unbounded
// connect) must not hold the manager: pulls and dones of other threads go on.
TEST_F(EventManagerTest, StuckNoticeDoesNotHoldPullsAndDones) {
    std::mutex m;
    std::condition_variable cv;
    bool in_notice = false, release = false;
    int status_in_notice = -1;
    em.SetSyncingNotifier([&](const Event& e) {
        if (e.m_path != "/slow.txt") return;
        std::unique_lock<std::mutex> guard(m);
        // The mark is already there when the UI is told.
        status_in_notice = SyncStatus(s1.folder + e.m_path.str());
        in_notice = true;
        cv.notify_all();
        cv.wait_for(guard, std::chrono::seconds(60), [&] { return release; });
    });
    std::thread producer([&] { Local(1, Event::EV_MODIFY, "/slow.txt"); });
    {
        std::unique_lock<std::mutex> guard(m);
        ASSERT_TRUE(cv.wait_for(guard, std::chrono::seconds(20), [&] { return in_notice; }));
    }
    auto worker = std::async(std::launch::async, [&] {
        Event e;
        if (em.PullEvent(&t1, e) != 0) return std::string("nothing pulled");
        if (em.DoneEvent(&t1, e) != 0) return std::string("done refused");
        em.PushLocalEvent(MakeEvent(2, Event::EV_MODIFY, "/other"));  // another producer
        return e.m_path.str();
    });
    const bool finished = worker.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> guard(m);
        release = true;
    }
    cv.notify_all();
    producer.join();
    ASSERT_TRUE(finished) << "the worker waited for the UI";
    EXPECT_EQ(worker.get(), "/slow.txt");
    EXPECT_EQ(status_in_notice, FSTAT_SYNCING);
}

TEST_F(EventManagerTest, RemovedSessionStartsEmptyWhenAddedAgain) {
    Local(1, Event::EV_REMOVE, "/stale");  // a local removal, queued
    Local(1, Event::EV_MODIFY, "/busy");
    Event busy = Pull(t1);
    Local(2, Event::EV_MODIFY, "/kept");
    em.IssueExpand(1, "/dir");
    ASSERT_EQ(SyncStatus(s1.folder + "/stale"), FSTAT_SYNCING);

    em.RemoveSession(1);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
    EXPECT_EQ(SyncStatus(s1.folder + "/stale"), -1) << "its syncing marks go with it";
    EXPECT_EQ(em.DoneEvent(&t1, busy), 0);  // the worker's entry went too
    t1.aborts = 0;

    // The same id again: nothing of the old pool comes back.
    Local(1, Event::EV_MODIFY, "/fresh");
    const std::vector<Event> got = DrainAll(em, t2);
    std::vector<std::string> paths;
    for (const Event& e : got) paths.push_back(std::to_string(e.m_sess_id) + e.m_path.str());
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"1/fresh", "2/kept"}));
    Local(1, Event::EV_REMOVE, "/busy");
    EXPECT_EQ(t1.aborts.load(), 0) << "a removed entry still matched pushes";
    em.RemoveSession(99);  // unknown: nothing happens
}

TEST_F(EventManagerTest, RefusedPathsAreDroppedWithAWarning) {
    LogCapture log;
    struct Case {
        std::string path;
        Event::Type type;
        uint32_t mode;
    } cases[] = {
        {"/../../x", Event::EV_CREATE, 0},   {"/a/../../b", Event::EV_MODIFY, 0}, {"/a/./b", Event::EV_CREATE, 0},
        {"a/b", Event::EV_CREATE, 0},        {"", Event::EV_MODIFY, 0},           {"/a/", Event::EV_MODIFY, 0},
        {"/a//b", Event::EV_MODIFY, 0},      {"/\xff\xfe", Event::EV_MODIFY, 0},  {"/", Event::EV_REMOVE, kD},
        {"/", Event::EV_CREATE, 0},          {"/..", Event::EV_REMOVE, kD},
    };
    for (const Case& c : cases) {
        em.PushLocalEvent(MakeEvent(1, c.type, c.path, c.mode));
        em.PushServerEvent(MakeEvent(1, c.type, c.path, c.mode, 5));
    }
    em.IssueExpand(1, "/../up");
    em.IssueRescan(1, "/x/..", false);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
    Event e;
    EXPECT_EQ(em.PullEvent(&t1, e), -1);
    EXPECT_EQ(NoticeCount(), 0u);
    EXPECT_EQ(log.count("File path is not valid, drop it."), std::size(cases) * 2 + 2);
}

TEST_F(EventManagerTest, UnknownSessionChangesNothing) {
    LogCapture log;
    Local(77, Event::EV_MODIFY, "/f");
    Server(77, Event::EV_CREATE, "/f", 3);
    EXPECT_EQ(em.GetAllPendingEventCount(77), 0u);
    Event e;
    EXPECT_EQ(em.PullEvent(&t1, e), -1);
    EXPECT_EQ(NoticeCount(), 0u);
    EXPECT_EQ(log.count("Can not find registry by session 77."), 2u);
}

// An expansion's done must leave the node of the same path alone: another
// task holds it.
TEST_F(EventManagerTest, ExpansionDoneLeavesTheDirectoryEventOfAnotherTask) {
    em.IssueExpand(1, "/d");
    Event expand = Pull(t1);
    ASSERT_TRUE(expand.isExpand());
    Server(1, Event::EV_CREATE, "/d", 4, kD);
    Event dir = Pull(t2);
    ASSERT_FALSE(dir.isExpand());
    Server(1, Event::EV_CREATE, "/d", 9, kD);  // merged into t2's node

    ASSERT_EQ(em.DoneEvent(&t1, expand), 0);
    EXPECT_TRUE(expand.isExpand()) << "the expander was handed t2's merged event";
    ASSERT_EQ(em.DoneEvent(&t2, dir), -1);
    EXPECT_EQ(dir.m_sync_id, 9u);
    ASSERT_EQ(em.DoneEvent(&t2, dir), 0);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
}

TEST_F(EventManagerTest, FileAndDirectoryOfOneNameKeepTheirOwnMerges) {
    Local(1, Event::EV_MODIFY, "/n");
    Local(1, Event::EV_CREATE, "/n", kD);
    Event file = Pull(t1);
    Event dir = Pull(t2);
    ASSERT_TRUE(file.isFile());
    ASSERT_TRUE(dir.isDir());
    Server(1, Event::EV_CREATE, "/n", 5);  // the file changed on the server

    ASSERT_EQ(em.DoneEvent(&t2, dir), 0) << "the directory's task got the file's merge";
    ASSERT_EQ(em.DoneEvent(&t1, file), -1);
    EXPECT_TRUE(file.isFile());
    EXPECT_EQ(file.m_sync_id, 5u);
    ASSERT_EQ(em.DoneEvent(&t1, file), 0);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 0u);
}

TEST_F(EventManagerTest, RedoPutsTheRegisteredEventBack) {
    Local(1, Event::EV_MODIFY, "/a");
    Local(1, Event::EV_MODIFY, "/b");
    Event a = Pull(t1);
    ASSERT_EQ(a.m_path, "/a");
    // The caller's copy is not what goes back: the registered event is.
    ASSERT_EQ(em.RedoEvent(&t1, MakeEvent(99, Event::EV_MODIFY, "/elsewhere")), 0);
    Local(1, Event::EV_REMOVE, "/a");
    EXPECT_EQ(t1.aborts.load(), 0) << "the redone entry still matched pushes";
    const std::vector<Event> rest = DrainAll(em, t1);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].m_path, "/b");
    EXPECT_EQ(rest[1].m_path, "/a");
    EXPECT_EQ(rest[1].m_type, Event::EV_REMOVE);

    // A redo without a pool fails and leaves no entry behind.
    Local(1, Event::EV_MODIFY, "/c");
    Event c = Pull(t2);
    em.RemoveSession(1);
    EXPECT_EQ(em.RedoEvent(&t2, c), -1);
    EXPECT_EQ(em.DoneEvent(&t2, c), 0);
}

TEST_F(EventManagerTest, RedoOfAMergedRootPutsTheMergedEventBack) {
    em.IssueRescan(1, "/", false);
    Event root = Pull(t1);
    ASSERT_EQ(root.m_path, "/");
    Server(1, Event::EV_CREATE, "/", 8, kD);  // the root is RETRY now
    ASSERT_EQ(em.RedoEvent(&t1, root), 0);
    Event again = Pull(t1);
    EXPECT_EQ(again.m_path, "/");
    EXPECT_TRUE(again.isServerEvent());
    ASSERT_EQ(em.DoneEvent(&t1, again), 0);
    Event e;
    Event rescan = Pull(t1);
    EXPECT_TRUE(rescan.isRescan());
    EXPECT_EQ(em.RedoEvent(&t1, rescan), 0);  // an expansion goes back to its queue
    EXPECT_TRUE(Pull(t2).isRescan());
    ASSERT_EQ(em.DoneEvent(&t2, e), 0);
    EXPECT_EQ(em.PullEvent(&t2, e), -1);
}

TEST_F(EventManagerTest, CountsIgnoreExpansionsAndUnknownSessions) {
    Server(1, Event::EV_CREATE, "/s", 3);
    Local(1, Event::EV_MODIFY, "/l");
    em.IssueExpand(1, "/d");
    EXPECT_EQ(em.GetPendingServerEvent(1), 1u);
    EXPECT_EQ(em.GetAllPendingEventCount(1), 2u);
    EXPECT_EQ(em.GetAllPendingEventCount(3), 0u);
    EXPECT_EQ(em.GetPendingServerEvent(3), 0u);
}

// Producers and workers at once, for the thread sanitizer as much as for the
// counts: everything pushed is handed out once and done, and nothing is left.
TEST_F(EventManagerTest, ConcurrentProducersAndWorkersLeaveNothingBehind) {
    em.SetSyncingMarker([](const ustring&, bool) { return 0; });
    constexpr int kPerProducer = 2000;
    std::atomic<int> handed{0};
    std::atomic<bool> producing{true};
    std::vector<std::thread> threads;
    for (uint64_t sess : {1u, 2u}) {
        threads.emplace_back([&, sess] {
            for (int i = 0; i < kPerProducer; ++i) {
                const std::string path = "/d" + std::to_string(i % 17) + "/f" + std::to_string(i);
                if (i % 3 == 0) {
                    em.PushServerEvent(MakeEvent(sess, Event::EV_CREATE, path, 0, static_cast<uint64_t>(i + 1)));
                } else {
                    em.PushLocalEvent(MakeEvent(sess, Event::EV_MODIFY, path));
                }
            }
        });
    }
    std::vector<std::unique_ptr<RecordingTask>> workers;
    for (int w = 0; w < 4; ++w) workers.push_back(std::make_unique<RecordingTask>());
    for (auto& w : workers) {
        threads.emplace_back([&, task = w.get()] {
            for (;;) {
                Event e;
                if (em.PullEvent(task, e) == 0) {
                    ++handed;
                    while (em.DoneEvent(task, e) == -1) ++handed;
                    continue;
                }
                if (!producing && em.GetAllPendingEventCount(1) == 0 && em.GetAllPendingEventCount(2) == 0) return;
                std::this_thread::yield();
            }
        });
    }
    threads[0].join();
    threads[1].join();
    producing = false;
    for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
    EXPECT_EQ(handed.load(), 2 * kPerProducer);
    Event e;
    EXPECT_EQ(em.PullEvent(workers[0].get(), e), -1);
}

}  // namespace
