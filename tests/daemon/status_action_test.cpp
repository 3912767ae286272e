// "get_status" through the control socket of a daemon in this process.
#include <gtest/gtest.h>

#include "support/control_daemon.h"
#include "support/scripted_server.h"
#include "support/server_views.h"

namespace tidewell::testing {
namespace {

PObject NullLists() {
    PObject reply = AckOnly();
    reply["session_list"] = PObject();
    reply["connection_list"] = PObject();
    reply["worker_list"] = PObject();
    return reply;
}

class StatusActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        views.Attach(server);
        daemon = std::make_unique<ControlDaemon>(TestTaskFactory(&workers));
    }
    PObject Session(const PObject& status, uint64_t id) {
        for (const PObject& s : status["session_list"].asArray())
            if (s["session_id"].asUInt64() == id) return s;
        return PObject();
    }
    FakeWorker::Control workers;
    ScriptedServer server;
    ServerViews views;
    TempDir root;
    std::unique_ptr<ControlDaemon> daemon;
};

TEST_F(StatusActionTest, IdleDaemonReportsThreeNullLists) {
    EXPECT_EQ(daemon->Action("get_status"), NullLists()) << "before link";
    ASSERT_EQ(daemon->Action("link"), AckOnly());
    EXPECT_EQ(daemon->Action("get_status"), NullLists()) << "linked, idle workers are not listed";
}

TEST_F(StatusActionTest, SessionsReportPausedSyncingAndUpToDate) {
    ASSERT_EQ(daemon->Action("link"), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    workers.mode = FakeWorker::kHold;
    PObject upload = Msg({{"action", "add_event"}, {"session_id", uint64_t{5}}, {"type", "upload"}, {"path", "/a"}});
    ASSERT_EQ(daemon->Request(upload), AckOnly());

    PObject expected;
    expected["connection_id"] = uint64_t{1};
    expected["session_id"] = uint64_t{5};
    expected["unfinished_files"] = uint64_t{1};
    expected["status"] = "pause";
    EXPECT_EQ(Session(daemon->Action("get_status"), 5), expected) << "paused with an event pending";

    ASSERT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", uint64_t{5}}})), AckOnly());
    PObject syncing = Session(daemon->Action("get_status"), 5);
    EXPECT_EQ(syncing["status"].asString(), ustring("syncing"));
    EXPECT_GE(syncing["unfinished_files"].asUInt64(), 1u);

    workers.mode = FakeWorker::kComplete;
    ASSERT_TRUE(Eventually([&] { return Session(daemon->Action("get_status"), 5)["status"].asString() == "uptodate"; }));
    EXPECT_EQ(Session(daemon->Action("get_status"), 5)["unfinished_files"].asUInt64(), 0u);
}

TEST_F(StatusActionTest, ConnectionsAndTransfersAreListed) {
    ASSERT_EQ(daemon->Action("link"), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(1, server.port())), AckOnly());
    ASSERT_EQ(daemon->Request(ConnectionRequest(2, 1)), AckOnly());  // nothing listens there
    SessionDirs dirs(root, "s5");
    ASSERT_EQ(daemon->Request(SessionRequest(5, dirs)), AckOnly());
    ASSERT_EQ(daemon->Request(Msg({{"action", "resume"}, {"session_id", uint64_t{5}}})), AckOnly());
    ASSERT_TRUE(Eventually([&] { return !Pulls(server, true).empty(); }));

    PObject connections;
    ASSERT_TRUE(Eventually([&] {
        connections = daemon->Action("get_status")["connection_list"];
        return connections.asArray().size() == 2 && connections[0]["status"].asString() == "connected";
    })) << connections.toString().c_str();
    EXPECT_EQ(connections[0]["connection_id"].asUInt64(), 1u);
    EXPECT_EQ(connections[1]["connection_id"].asUInt64(), 2u);
    EXPECT_EQ(connections[1]["status"].asString(), ustring("disconnected"));

    // One worker holds an upload with 300 of 1000 bytes sent.
    ASSERT_EQ(daemon->Request(Msg({{"action", "pause"}, {"session_id", uint64_t{5}}})), AckOnly());
    workers.mode = FakeWorker::kHold;
    workers.type = WorkerTask::W_TYPE_UPLOAD;
    workers.sent = 300;
    workers.total = 1000;
    ASSERT_EQ(daemon->Request(Msg({{"action", "add_event"},
                                   {"session_id", uint64_t{5}},
                                   {"type", "upload"},
                                   {"path", "/big.bin"}})),
              AckOnly());
    PObject transfers;
    ASSERT_TRUE(Eventually([&] {
        transfers = daemon->Action("get_status")["worker_list"];
        return transfers.asArray().size() == 1 && transfers[0]["path"].asString() == "/big.bin";
    })) << transfers.toString().c_str();
    PObject expected;
    expected["session_id"] = uint64_t{5};
    expected["path"] = "/big.bin";
    expected["status"] = "uploading";
    expected["progress"] = uint64_t{300};
    expected["total_size"] = uint64_t{1000};
    EXPECT_EQ(transfers[0], expected);
    workers.mode = FakeWorker::kComplete;
}

}  // namespace
}  // namespace tidewell::testing
