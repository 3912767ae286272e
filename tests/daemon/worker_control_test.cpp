// The control side of interrupting workers: the abort filter, and the
// pause-interrupt-wait step on the task table, with fake workers and none.
#include <gtest/gtest.h>

#include <chrono>

#include "support/control_daemon.h"
#include "worker/worker_task.h"

namespace tidewell::testing {
namespace {

TEST(AbortFilterTest, MatchesBySessionOrConnectionWithZeroForEvery) {
    struct Case {
        bool sess_set;
        uint64_t sess;
        bool conn_set;
        uint64_t conn;
        bool matches_5_on_1;
    };
    const Case cases[] = {
        {false, 0, false, 0, false},  // nothing set: nothing matches
        {true, 5, false, 0, true},    {true, 6, false, 0, false}, {true, 0, false, 0, true},
        {false, 0, true, 1, true},    {false, 0, true, 2, false}, {false, 0, true, 0, true},
        {true, 6, true, 1, true},     // either one is enough
        {true, 6, true, 2, false},
    };
    for (const Case& c : cases) {
        WorkerTask::AbortFilter f;
        if (c.sess_set) f.setSession(c.sess);
        if (c.conn_set) f.setConnection(c.conn);
        EXPECT_EQ(f.match(5, 1), c.matches_5_on_1) << c.sess_set << c.sess << c.conn_set << c.conn;
    }
}

TEST(BarrierTest, WaitEndsWhenEveryRegisteredWorkerSignalled) {
    WorkerTask::Barrier barrier;
    barrier.wait();  // nobody registered
    barrier.increase(1);
    barrier.increase(2);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        barrier.signal(1);
        barrier.signal(2);
    });
    barrier.wait();
    EXPECT_EQ(barrier.pending(), 0u);
    late.join();
}

TEST(InterruptWorkerTest, NoWorkersOrNoneBusyOnAMatchEndsAtOnce) {
    ControlDaemon daemon(TestTaskFactory(nullptr));
    ASSERT_EQ(daemon.Action("link"), AckOnly());
    ASSERT_TRUE(daemon.app().workers().empty());
    WorkerTask::AbortFilter every;
    every.setSession(0);
    auto begin = std::chrono::steady_clock::now();
    daemon.app().interrupt_worker(every);
    EXPECT_EQ(daemon.Request(Msg({{"action", "pause"}, {"session_id", uint64_t{0}}})), AckOnly());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
}

TEST(InterruptWorkerTest, WaitsForTheWorkersBusyOnAMatchOnly) {
    FakeWorker::Control workers;
    ControlDaemon daemon(TestTaskFactory(&workers));
    TempDir root;
    ASSERT_EQ(daemon.Action("link"), AckOnly());
    ASSERT_EQ(daemon.app().workers().size(), 2u);
    ASSERT_EQ(daemon.Request(ConnectionRequest(1, 1)), AckOnly());
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon.Request(SessionRequest(5, dirs)), AckOnly());
    workers.mode = FakeWorker::kHold;
    ASSERT_EQ(daemon.Request(Msg({{"action", "add_event"}, {"session_id", uint64_t{5}}, {"type", "upload"}, {"path", "/a"}})),
              AckOnly());
    ASSERT_TRUE(Eventually([&] { return workers.taken >= 1; }));

    WorkerTask::AbortFilter other;
    other.setSession(6);
    daemon.app().interrupt_worker(other);
    EXPECT_EQ(workers.aborted.load(), 0);

    WorkerTask::AbortFilter mine;
    mine.setConnection(1);
    daemon.app().interrupt_worker(mine);
    EXPECT_EQ(workers.aborted.load(), 1) << "the wait ended only after the busy worker let go";
    workers.mode = FakeWorker::kComplete;
}

}  // namespace
}  // namespace tidewell::testing
