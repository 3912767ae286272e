#include "base/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono;

// Loops until stopped, as every background task does.
class LoopTask : public Task {
public:
    std::atomic<int> loops{0};
    ~LoopTask() override {
        Stop();
        Join();
    }
    void DoTask() override {
        for (;;) {
            State s = GetState();
            if (s == STOP) return;
            if (s == PAUSE) {
                std::this_thread::sleep_for(milliseconds(10));
                continue;
            }
            ++loops;
            Wait(1);
        }
    }
};

class OneShotTask : public Task {
public:
    std::atomic<bool> done{false};
    void DoTask() override { done = true; }
};

TEST(Task, Transitions) {
    LoopTask task;
    EXPECT_EQ(task.GetState(), Task::STOP);
    EXPECT_EQ(task.GetId(), -1);
    EXPECT_EQ(task.Join(), -1);
    ASSERT_EQ(task.Run(), 0);
    EXPECT_EQ(task.GetState(), Task::RUN);
    int first_id = task.GetId();
    EXPECT_GE(first_id, 0);
    EXPECT_EQ(task.Pause(), 0);
    EXPECT_EQ(task.GetState(), Task::PAUSE);
    EXPECT_EQ(task.Resume(), 0);
    EXPECT_EQ(task.GetState(), Task::RUN);
    EXPECT_EQ(task.Stop(), 0);
    EXPECT_EQ(task.Join(), 0);
    EXPECT_EQ(task.GetId(), -1);
    EXPECT_EQ(task.GetState(), Task::STOP);

    ASSERT_EQ(task.Run(), 0);
    EXPECT_GT(task.GetId(), first_id);
    task.Stop();
    EXPECT_EQ(task.Join(), 0);
}

TEST(Task, DoubleRunStartsOneThread) {
    LoopTask task;
    ASSERT_EQ(task.Run(), 0);
    int id = task.GetId();
    EXPECT_EQ(task.Run(), -1);
    EXPECT_EQ(task.GetId(), id);
    task.Stop();
    task.Join();
}

TEST(Task, DoTaskReturningLeavesStopWithItsNumber) {
    OneShotTask task;
    ASSERT_EQ(task.Run(), 0);
    auto deadline = steady_clock::now() + seconds(5);
    while (task.GetState() != Task::STOP && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_TRUE(task.done);
    EXPECT_EQ(task.GetState(), Task::STOP);
    EXPECT_GE(task.GetId(), 0);
    EXPECT_EQ(task.Run(), -1);  // the thread still has to be joined
    EXPECT_EQ(task.Join(), 0);
    EXPECT_EQ(task.GetId(), -1);
}

TEST(Task, NumbersFollowStartOrder) {
    OneShotTask a, b, c;
    ASSERT_EQ(a.Run(), 0);
    ASSERT_EQ(b.Run(), 0);
    ASSERT_EQ(c.Run(), 0);
    EXPECT_EQ(b.GetId(), a.GetId() + 1);
    EXPECT_EQ(c.GetId(), b.GetId() + 1);
    a.Join();
    b.Join();
    c.Join();
    EXPECT_GT(Task::CreateTaskId(), c.GetId());
}

TEST(Task, WaitRunsItsTimeInRun) {
    Task task;
    task.SetState(Task::RUN);
    auto start = steady_clock::now();
    EXPECT_EQ(task.Wait(1), 0);
    EXPECT_GE(steady_clock::now() - start, milliseconds(990));
    EXPECT_EQ(task.Wait(0), 0);
    task.SetState(Task::PAUSE);
    EXPECT_EQ(task.Wait(0), 0);
    EXPECT_EQ(task.Wait(1), -1);
}

TEST(Task, WaitInterruptedByPause) {
    Task task;
    task.SetState(Task::RUN);
    std::thread pauser([&task] {
        std::this_thread::sleep_for(milliseconds(200));
        task.Pause();
    });
    auto start = steady_clock::now();
    EXPECT_EQ(task.Wait(3), -1);
    auto waited = steady_clock::now() - start;
    pauser.join();
    EXPECT_LT(waited, milliseconds(200 + 1000));  // well short of the 3 s
}

TEST(Task, WaitNoticesAStateWrittenUnderLockState) {
    class Direct : public Task {
    public:
        void ForceStopQuietly() {
            // SetState notifies; this path does not, and Wait still notices
            // within its 100 ms step.
            LockState();
            UnlockState();
            SetState(STOP);
        }
    } task;
    task.SetState(Task::RUN);
    std::thread stopper([&task] {
        std::this_thread::sleep_for(milliseconds(100));
        task.ForceStopQuietly();
    });
    EXPECT_EQ(task.Wait(3), -1);
    stopper.join();
}


// A task that deletes itself from inside its own thread. Its memory is not
// given back when it is deleted but zeroed and kept, so that any later write
// to the deleted object shows; the thread's end is seen through a
// thread-local object, whose destructor runs after the task's entry function
// has returned.
class SelfDeletingTask : public Task {
public:
    static void operator delete(void* block, std::size_t size) {
        std::memset(block, 0, size);
        freed_block = block;
        freed_size = size;
    }
    void DoTask() override {
        thread_end.armed = true;
        delete this;
    }

    struct ThreadEnd {
        bool armed = false;
        ~ThreadEnd() {
            if (armed) ended.store(true);
        }
    };
    static thread_local ThreadEnd thread_end;
    static inline std::atomic<bool> ended{false};
    static inline void* freed_block = nullptr;
    static inline std::size_t freed_size = 0;
};
thread_local SelfDeletingTask::ThreadEnd SelfDeletingTask::thread_end;

TEST(Task, ATaskDeletedInsideItsOwnThreadIsNotTouchedAgain) {
    Task* task = new SelfDeletingTask;
    ASSERT_EQ(task->Run(), 0);
    auto deadline = steady_clock::now() + seconds(30);
    while (!SelfDeletingTask::ended.load() && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_TRUE(SelfDeletingTask::ended.load());
    ASSERT_NE(SelfDeletingTask::freed_block, nullptr);
    const unsigned char* bytes = static_cast<const unsigned char*>(SelfDeletingTask::freed_block);
    size_t touched = 0;
    for (size_t i = 0; i < SelfDeletingTask::freed_size; ++i) touched += bytes[i] != 0;
    EXPECT_EQ(touched, 0u) << "the deleted task was written to after its deletion";
    ::operator delete(SelfDeletingTask::freed_block);
}

TEST(Task, RunAndJoinFromTwoThreadsAtOnce) {
    OneShotTask task;
    std::atomic<bool> stop{false};
    std::atomic<int> joined{0};
    std::thread joiner([&] {
        while (!stop.load())
            if (task.Join() == 0) joined.fetch_add(1);
    });
    int started = 0;
    for (int i = 0; i < 200; ++i) {
        if (task.Run() == 0) ++started;
        std::this_thread::yield();
    }
    // Every thread started is reclaimed exactly once.
    auto deadline = steady_clock::now() + seconds(30);
    while (joined.load() < started && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
    stop.store(true);
    joiner.join();
    EXPECT_GT(started, 0);
    EXPECT_EQ(joined.load(), started);
    EXPECT_EQ(task.Join(), -1);
}

}  // namespace
