#include "daemon/tidewell_app.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"
#include "session/registry.h"
#include "support/temp_dir.h"
#include "sync/detector.h"
#include "sync/event_manager.h"

namespace {

using tidewell::testing::TempDir;

PObject ack_only() {
    PObject reply;
    reply["ack"] = "ok";
    return reply;
}

TEST(TidewellAppTest, RequestsWithoutOrWithUnknownActionGetAckOnly) {
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);
    EXPECT_EQ(app.run(), -1) << "the loop runs once";

    PObject no_action;
    no_action["session_id"] = uint64_t{4};
    PObject unknown;
    unknown["action"] = "frobnicate";
    for (const PObject& request : {PObject(), no_action, unknown}) {
        PObject reply;
        ASSERT_EQ(app.send_message(request, reply), 0);
        EXPECT_EQ(reply, ack_only()) << request.toString().c_str();
    }
    app.kill();
}

TEST(TidewellAppTest, ConcurrentSendersEachGetTheirOwnReply) {
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);
    std::atomic<int> answered{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([&app, &answered, t] {
            for (int i = 0; i < 200; ++i) {
                PObject request;
                request["action"] = "nothing";
                request["n"] = static_cast<uint64_t>(t * 1000 + i);
                // A reply that already holds a member keeps it: the loop only
                // adds "ack".
                PObject reply;
                reply["mine"] = static_cast<uint64_t>(t * 1000 + i);
                if (app.send_message(request, reply) == 0 && reply["ack"].asString() == "ok" &&
                    reply["mine"].asUInt64() == static_cast<uint64_t>(t * 1000 + i))
                    ++answered;
            }
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(answered.load(), 1600);
    app.kill();
}

TEST(TidewellAppTest, AfterStopSendFailsAtOnceAndKillReturns) {
    TidewellApp app;
    PObject request;
    request["action"] = "stop";
    PObject reply;
    EXPECT_EQ(app.send_message(request, reply), -1) << "no loop yet";
    EXPECT_TRUE(reply.isNull());

    ASSERT_EQ(app.run(), 0);
    ASSERT_EQ(app.send_message(request, reply), 0);
    EXPECT_EQ(reply, ack_only());

    PObject late;
    EXPECT_EQ(app.send_message(request, late), -1);
    EXPECT_TRUE(late.isNull());
    auto start = std::chrono::steady_clock::now();
    app.kill();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(TidewellAppTest, KillWithoutRunAndUnlinkBeforeLink) {
    TidewellApp idle;
    idle.kill();

    TidewellApp app;
    ASSERT_EQ(app.run(), 0);
    PObject unlink;
    unlink["action"] = "unlink";
    PObject reply;
    ASSERT_EQ(app.send_message(unlink, reply), 0);
    EXPECT_EQ(reply, ack_only());
    EXPECT_FALSE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 0u);
}

// A task that runs until stopped and counts the calls made on it.
class CountingTask : public Task {
public:
    explicit CountingTask(std::atomic<int>* live) : live(live) { ++*live; }
    ~CountingTask() override {
        Stop();
        Join();
        --*live;
    }
    int Pause() override {
        ++pauses;
        return Task::Pause();
    }
    void DoTask() override {
        while (GetState() != STOP) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::atomic<int>* live;
    int pauses = 0;
};

TaskFactory counting_factory(std::atomic<int>* live) {
    TaskFactory f;
    auto make = [live] { return std::unique_ptr<Task>(new CountingTask(live)); };
    f.detector = make;
    f.syncer = make;
    f.worker = make;
    return f;
}

TEST(TidewellAppTest, TaskTableHasFourFixedSlotsThenWorkers) {
    TempDir dir;
    Settings& settings = Settings::getInstance();
    ASSERT_EQ(settings.loadConfigSettings(dir.write("w.conf", "worker_count = 4\n")), 0);

    std::atomic<int> live{0};
    TidewellApp app(counting_factory(&live));
    ASSERT_EQ(app.init_members(), 0);
    EXPECT_EQ(app.get_task_count(), 7u);
    // Slots without a maker stay empty and are skipped below.
    EXPECT_NE(app.get_task(TidewellApp::TASK_DETECTOR), nullptr);
    EXPECT_EQ(app.get_task(TidewellApp::TASK_RECYCLE_CLEANER), nullptr);
    EXPECT_NE(app.get_task(TidewellApp::TASK_SYNCER), nullptr);
    EXPECT_EQ(app.get_task(TidewellApp::TASK_PROGRESS_SYNCER), nullptr);
    for (unsigned i = TidewellApp::TASK_FIRST_WORKER; i < 7; ++i) EXPECT_NE(app.get_task(i), nullptr) << i;
    EXPECT_EQ(app.get_task(7), nullptr);
    EXPECT_EQ(live.load(), 5);

    app.start_all();
    for (unsigned i : {0u, 2u, 4u, 5u, 6u}) EXPECT_EQ(app.get_task(i)->GetState(), Task::RUN) << i;

    app.pause_worker();
    EXPECT_EQ(app.get_task(TidewellApp::TASK_DETECTOR)->GetState(), Task::RUN);
    for (unsigned i : {4u, 5u, 6u}) EXPECT_EQ(app.get_task(i)->GetState(), Task::PAUSE) << i;
    app.resume_worker();
    EXPECT_EQ(app.get_task(4)->GetState(), Task::RUN);

    EXPECT_EQ(app.stop_all(), 0);
    for (unsigned i : {0u, 2u, 4u}) {
        EXPECT_EQ(app.get_task(i)->GetState(), Task::STOP);
        EXPECT_EQ(app.get_task(i)->GetId(), -1) << "joined";
    }
    app.destroy_tasks();
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_EQ(live.load(), 0);
    settings.resetToDefaults();
}

TEST(TidewellAppTest, StopAllWithoutTasksReturnsZero) {
    TidewellApp app;
    EXPECT_EQ(app.stop_all(), 0);
    app.pause_all();
    app.resume_all();
}

}  // namespace

namespace {

class LinkTest : public ::testing::Test {
protected:
    void configure(const std::string& system_filter) {
        std::string conf = "filter_db_path = \"" + dir.file("filter.sqlite") + "\"\n" + "fstat_db_path = \"" +
                           dir.file("fstat.sqlite") + "\"\n" + "system_filter_path = \"" + system_filter + "\"\n";
        ASSERT_EQ(Settings::getInstance().loadConfigSettings(dir.write("link.conf", conf)), 0);
    }
    void TearDown() override { Settings::getInstance().resetToDefaults(); }

    PObject send(TidewellApp& app, const char* action) {
        PObject request;
        request["action"] = action;
        PObject reply;
        EXPECT_EQ(app.send_message(request, reply), 0);
        return reply;
    }

    TempDir dir;
};

TEST_F(LinkTest, LinkUnlinkLinkAndASecondLinkIsRefused) {
    configure(TIDEWELL_BINARY_DIR "/bin/system.filter");
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);

    EXPECT_EQ(send(app, "link"), ack_only());
    EXPECT_TRUE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 6u) << "worker_count 3: four fixed slots and two workers";

    PObject refused = send(app, "link");
    EXPECT_EQ(refused["error"].asString(), "Already linked");
    EXPECT_EQ(refused["ack"].asString(), "ok");
    EXPECT_TRUE(app.is_linked()) << "the first environment stays in force";

    EXPECT_EQ(send(app, "unlink"), ack_only());
    EXPECT_FALSE(app.is_linked());
    EXPECT_EQ(app.get_task_count(), 0u);
    EXPECT_EQ(send(app, "link"), ack_only());
    EXPECT_TRUE(app.is_linked());
    app.kill();
    EXPECT_FALSE(app.is_linked()) << "the stop at kill() unlinks";
}

TEST_F(LinkTest, LinkRunsTheDetectorAndUnlinkEmptiesTheEventManager) {
    configure(TIDEWELL_BINARY_DIR "/bin/system.filter");
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);
    ASSERT_EQ(send(app, "link"), ack_only());
    auto* detector = dynamic_cast<Detector*>(app.get_task(TidewellApp::TASK_DETECTOR));
    ASSERT_NE(detector, nullptr);
    EXPECT_EQ(detector->GetState(), Task::RUN);

    Registry::Entry session;
    session.sess_id = 5;
    session.local_path = dir.file("folder");
    Registry::getInstance().Set(session);
    Event e;
    e.m_sess_id = 5;
    e.m_type = Event::EV_MODIFY;
    e.m_path = "/f.txt";
    EventManager::getInstance().PushLocalEvent(e);
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 1u);

    EXPECT_EQ(send(app, "unlink"), ack_only());
    EXPECT_EQ(EventManager::getInstance().GetAllPendingEventCount(5), 0u);
    app.kill();
}

TEST_F(LinkTest, LinkWithoutALoadableSystemFilterFailsAndCanBeRetried) {
    std::string filter = dir.file("system.filter");
    configure(filter);
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);

    for (const char* content : {static_cast<const char*>(nullptr), "[Version]\nmajor = 1\nbroken line\n"}) {
        if (content) dir.write("system.filter", content);
        PObject reply = send(app, "link");
        EXPECT_EQ(reply["error"].asString(), "Failed to initialize environment");
        EXPECT_EQ(reply["ack"].asString(), "ok");
        EXPECT_FALSE(app.is_linked());
    }
    dir.write("system.filter", "[Version]\nmajor = 1\nminor = 1\n");
    EXPECT_EQ(send(app, "link"), ack_only());
    EXPECT_TRUE(app.is_linked());
}

TEST_F(LinkTest, LinkFailsWhenTheFilterDatabaseCannotBeOpened) {
    std::string conf = "filter_db_path = \"" + dir.file("no/such/dir/filter.sqlite") + "\"\n" + "fstat_db_path = \"" +
                       dir.file("fstat.sqlite") + "\"\n" +
                       "system_filter_path = \"" TIDEWELL_BINARY_DIR "/bin/system.filter\"\n";
    ASSERT_EQ(Settings::getInstance().loadConfigSettings(dir.write("bad.conf", conf)), 0);
    TidewellApp app;
    ASSERT_EQ(app.run(), 0);
    EXPECT_EQ(send(app, "link")["error"].asString(), "Failed to initialize environment");
    EXPECT_FALSE(app.is_linked());
}

}  // namespace
