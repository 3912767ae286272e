#include "protocol/server_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "base/logger.h"
#include "net/connection.h"
#include "net/error_codes.h"
#include "protocol/proto_common.h"
#include "protocol/server_error.h"
#include "stream/pstream.h"
#include "support/scripted_server.h"
#include "support/ssl_test_pki.h"
#include "support/temp_dir.h"

namespace {

using tidewell::testing::Answer;
using tidewell::testing::CloseConnection;
using tidewell::testing::KeepAliveNotice;
using tidewell::testing::RawBytes;
using tidewell::testing::ReceivedRequest;
using tidewell::testing::Reply;
using tidewell::testing::ScriptedServer;
using tidewell::testing::TempDir;
using tidewell::testing::TestCert;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kViewId = 42;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

PObject Alive(uint64_t seconds) {
    PObject v;
    v["alive"] = seconds;
    return v;
}

PObject ErrorAnswer(uint64_t code) {
    PObject v;
    v["error"]["code"] = code;
    v["alive"] = uint64_t{300};
    return v;
}

PObject Request(const char* action) {
    PObject request;
    InitRequest(request, action);
    return request;
}

// Records every time limit the code under test sets.
class RecordingChannel : public Channel {
public:
    void SetTimeout(uint32_t seconds) override {
        limits.push_back(seconds);
        Channel::SetTimeout(seconds);
    }
    std::vector<uint32_t> limits;
};

std::atomic<uint32_t> g_now{1'700'000'000};
uint32_t FakeNow() {
    return g_now.load();
}

// A scripted server per test, TLS with a certificate for "sync.test" from a
// test CA that the client trusts, and the log of the session components in
// a file.
class ServerSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        TestCert ca({"Tidewell Test CA", {}, -3600, 86400, true}, nullptr);
        TestCert server({"sync.test", {"sync.test"}}, &ca);
        ca_file_ = ca.WriteCert(dir_->file("ca.pem"));
        ScriptedServer::UseCertificate(server.WriteCert(dir_->file("server.pem")),
                                       server.WriteKey(dir_->file("server.key")));
    }
    static void TearDownTestSuite() { delete dir_; }

    // The log is set up while no server thread can write to it.
    void SetUp() override {
        Channel::SetVerifyCAPath(ca_file_.c_str());
        log_ = dir_->file("session.log");
        std::remove(log_.c_str());
        std::string levels = dir_->write(
            "levels", "syncer_debug=7\nprogress_syncer_debug=7\nworker_debug=7\nconnection_debug=7\n");
        ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, log_.c_str(), levels.c_str(), 50), 0);
    }
    void TearDown() override {
        server.Stop();
        Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
        ChannelStat::SetClockForTesting(nullptr);
        EXPECT_TRUE(server.problems().empty()) << server.problems().front();
    }

    ConnectionInfo Info(bool use_ssl) const {
        ConnectionInfo info;
        info.conn_id = 1;
        info.server_ip = "127.0.0.1";
        info.server_port = server.port();
        info.server_name = "sync.test";
        info.session = "tok-123";
        info.use_ssl = use_ssl;
        info.ssl_allow_untrust = false;
        return info;
    }
    std::string LogText() const { return TempDir::read(log_); }
    bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

    static TempDir* dir_;
    static std::string ca_file_;
    std::string log_;
    ScriptedServer server;
};

TempDir* ServerSessionTest::dir_ = nullptr;
std::string ServerSessionTest::ca_file_;

SessionForm OneStepForm() {
    SessionForm form = SyncerSessionForm(nullptr);
    form.handshake = HandshakeForm::kOneStep;
    return form;
}

// ---------------------------------------------------------------- handshakes

TEST_F(ServerSessionTest, HandshakeFormsSendTheirRequestsAndEndOnTheRightChannel) {
    struct Step {
        const char* action;
        uint8_t cmd;
        bool under_tls;
        bool do_ssl;
    };
    struct Case {
        const char* name;
        SessionForm form;
        bool use_ssl;
        std::vector<Step> steps;
    } cases[] = {
        {"two-step plain", SyncerSessionForm(nullptr), false, {{"connect", 14, false, false}}},
        {"two-step ssl", SyncerSessionForm(nullptr), true,
         {{"encrypt_channel", 22, false, false}, {"connect", 14, true, false}}},
        {"one-step plain", OneStepForm(), false, {{"connect", 14, false, false}}},
        {"one-step ssl", OneStepForm(), true, {{"connect", 14, false, true}}},
        {"worker plain", WorkerSessionForm(2, nullptr, nullptr, nullptr), false, {{"connect", 14, false, false}}},
        // The worker's form keeps the session token off the wire in clear.
        {"worker ssl", WorkerSessionForm(2, nullptr, nullptr, nullptr), true,
         {{"encrypt_channel", 22, false, false}, {"connect", 14, true, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer peer;
        ConnectionInfo info = Info(c.use_ssl);
        info.server_port = peer.port();
        Channel ch;
        ASSERT_EQ(RequestChannel(ch, info, kViewId, c.form), 0);
        PObject response;
        ASSERT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, c.form), 0);
        EXPECT_EQ(response["alive"].asInteger(), 300u);
        ch.Close();
        peer.Stop();

        std::vector<ReceivedRequest> got = peer.requests();
        ASSERT_EQ(got.size(), c.steps.size() + 1);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& want = c.steps[i];
            EXPECT_EQ(got[i].request["action"].asString(), want.action);
            EXPECT_EQ(got[i].cmd, want.cmd);
            EXPECT_EQ(got[i].under_tls, want.under_tls) << want.action;
            EXPECT_EQ(got[i].request.hasMember("do_ssl"), want.do_ssl) << want.action;
            if (std::string(want.action) == "connect") {
                EXPECT_EQ(got[i].request["session"].asString(), "tok-123");
                EXPECT_EQ(got[i].request["view_id"].asInteger(), kViewId);
                if (want.do_ssl) {
                    EXPECT_EQ(got[i].request["do_ssl"].asInteger(), 1u);
                }
            }
        }
        // The request after the handshake travels encrypted exactly when the
        // connection uses SSL.
        EXPECT_EQ(got.back().request["action"].asString(), "pull_event");
        EXPECT_EQ(got.back().under_tls, c.use_ssl);
        EXPECT_EQ(peer.connections(), 1);
        EXPECT_TRUE(peer.problems().empty());
    }
}

TEST_F(ServerSessionTest, RefusedEncryptionAndRejectedCertificateNeverSendTheToken) {
    server.Script("encrypt_channel", {Answer(ErrorAnswer(2))});
    Channel ch;
    EXPECT_EQ(RequestChannel(ch, Info(true), kViewId, SyncerSessionForm(nullptr)), ERR_IO);
    EXPECT_TRUE(Logged("Syncer: request SSL: "));

    // A certificate that does not name the server.
    ConnectionInfo wrong_name = Info(true);
    wrong_name.server_name = "other.test";
    EXPECT_EQ(RequestChannel(ch, wrong_name, kViewId, SyncerSessionForm(nullptr)), ERR_IO);
    EXPECT_TRUE(Logged("Syncer: Convert to SSL channel failed ("));
    ch.Close();
    server.Stop();
    EXPECT_EQ(server.CountAction("encrypt_channel"), 2u);
    EXPECT_EQ(server.CountAction("connect"), 0u);
}

TEST_F(ServerSessionTest, ConnectAnswersAndTheirResults) {
    struct Case {
        const char* name;
        PObject answer;
        int syncer;
        int worker;
        const char* logged;
    } cases[] = {
        {"alive 0", Alive(0), ERR_IO, ERR_IO, "connection refused by server."},
        {"no alive", [] {
             PObject v;
             v.asMap();
             return v;
         }(), ERR_IO, ERR_IO, "connection refused by server."},
        {"session missing", ErrorAnswer(8193), ERR_AUTH, ERR_AUTH, "request channel: "},
        {"version too low", ErrorAnswer(20481), ERR_VERSION, ERR_VERSION, "request channel: "},
        {"read only", ErrorAnswer(12292), ERR_PERMISS_READ_ONLY, ERR_PERMISS_READ_ONLY, "request channel: "},
        // No translation is not admission.
        {"internal", ErrorAnswer(28672), ERR_SERVER, ERR_SERVER, "server error: 28672"},
        {"upload base changed", ErrorAnswer(36866), ERR_SERVER, ERR_INT, "unhandled error code: 36866"},
        {"resume no token", ErrorAnswer(45057), ERR_SERVER, ERR_SERVER, "unhandled error code: 45057"},
        {"error without code", [] {
             PObject v = Alive(300);
             v["error"] = "no";
             return v;
         }(), ERR_SERVER, ERR_SERVER, "request channel: "},
        {"not a map", PObject("welcome"), ERR_PROTO, ERR_PROTO, "the answer is not a map: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Script("connect", {Answer(c.answer)});
        server.Script("connect", {Answer(c.answer)});
        Channel ch;
        EXPECT_EQ(RequestChannel(ch, Info(false), kViewId, SyncerSessionForm(nullptr)), c.syncer);
        EXPECT_EQ(RequestChannel(ch, Info(false), kViewId, WorkerSessionForm(1, nullptr, nullptr, nullptr)),
                  c.worker);
        EXPECT_TRUE(Logged(c.logged)) << c.logged;
    }
}

TEST_F(ServerSessionTest, ServerBuildIsLoggedByTheFormsThatLogIt) {
    PObject old_server = Alive(300);
    server.Script("connect", {Answer(old_server)});
    Channel ch;
    ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, SyncerSessionForm(nullptr)), 0);
    EXPECT_TRUE(Logged("Connect with Tidewell server build 2402\n"));
    ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, SyncerSessionForm(nullptr)), 0);
    EXPECT_TRUE(Logged("Connect with Tidewell server build 4242\n"));
    EXPECT_TRUE(Logged("Syncer: Connect to server (127.0.0.1:" + std::to_string(server.port()) + ").\n"));

    // The progress syncer names itself on connecting and logs no build.
    const size_t before = LogText().size();
    ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, ProgressSyncerSessionForm(nullptr)), 0);
    const std::string progress = LogText().substr(before);
    EXPECT_NE(progress.find("[DEBUG] server_session.cpp("), std::string::npos);
    EXPECT_NE(progress.find("ProgressSyncer: Connect to server (127.0.0.1:"), std::string::npos);
    EXPECT_EQ(progress.find("server build"), std::string::npos);
}

// ---------------------------------------------------------------- errors

TEST(ServerErrorTest, TranslationTablesOfSyncersAndWorker) {
    struct Case {
        uint32_t code;
        int syncer;
        int worker;
    } cases[] = {
        {SPROTO_ERR_ACCESS_DENY, ERR_PERMISS, ERR_PERMISS},
        {SPROTO_ERR_VIEW_INVALID_PATH, ERR_VIEW_PATH, ERR_VIEW_PATH},
        {SPROTO_ERR_READ_ONLY, ERR_PERMISS_READ_ONLY, ERR_PERMISS_READ_ONLY},
        {SPROTO_ERR_QUOTA, ERR_QUOTA, ERR_QUOTA},
        {SPROTO_ERR_DISKFULL, ERR_DISKFULL, ERR_DISKFULL},
        {SPROTO_ERR_USER_PASSWD, ERR_AUTH, ERR_AUTH},
        {SPROTO_ERR_SESSION_MISS, ERR_AUTH, ERR_AUTH},
        {SPROTO_ERR_INVALID_VIEW_ID, ERR_VIEW, ERR_VIEW},
        {SPROTO_ERR_VERSION_TOO_HIGH, ERR_VERSION, ERR_VERSION},
        {SPROTO_ERR_INTERNAL, 0, 0},
        {0x7ABC, 0, 0},
        {SPROTO_ERR_ERR, 0, 0},
        {SPROTO_ERR_SYSTEM, 0, 0},
        {SPROTO_ERR_CONFLICT, 0, 0},
        {SPROTO_ERR_DOWNLOAD_NOFILE, 0, ERR_INT},
        {SPROTO_ERR_UPLOAD_BASE_CHANGED, 0, ERR_INT},
        {SPROTO_ERR_REMOVE_MODIFIED, 0, ERR_INT},
        {SPROTO_ERR_RESUME_NOTOKEN, 0, 0},
        {0xF000, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProtoResp2ErrorCode(c.code, ServerErrorTable::kSyncer, "syncer_debug"), c.syncer) << c.code;
        EXPECT_EQ(ProtoResp2ErrorCode(c.code, ServerErrorTable::kWorker, "worker_debug"), c.worker) << c.code;
        // The rule every caller uses: a refusal is never 0.
        EXPECT_EQ(ServerErrorResult(c.code, ServerErrorTable::kSyncer, "syncer_debug"), c.syncer ? c.syncer : ERR_SERVER);
        EXPECT_EQ(ServerErrorResult(c.code, ServerErrorTable::kWorker, "worker_debug"), c.worker ? c.worker : ERR_SERVER);
    }
    EXPECT_EQ(ResponseErrorCode(Alive(300), ServerErrorTable::kSyncer, "syncer_debug"), 0);
    EXPECT_EQ(ResponseErrorCode(ErrorAnswer(8193), ServerErrorTable::kSyncer, "syncer_debug"), ERR_AUTH);
    PObject wide;
    wide["error"]["code"] = uint64_t{0x100001000};  // not to be cut down to 4096
    EXPECT_EQ(ResponseErrorCode(wide, ServerErrorTable::kSyncer, "syncer_debug"), ERR_SERVER);
}

// ---------------------------------------------------------------- the runner

TEST_F(ServerSessionTest, KeepAlivesAreSkippedAndLeaveNothingBehind) {
    PObject notice;
    notice["type"] = "keep_alive";
    notice["progress"] = uint64_t{50};
    PObject answer = Alive(300);
    answer["next_sync_id"] = uint64_t{3};
    server.Script("pull_event", {KeepAliveNotice(), Answer(notice), Answer(answer)});
    Channel ch;
    SessionForm form = SyncerSessionForm(nullptr);
    form.limits = {5, 5};
    ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, form), 0);

    PObject response;
    response["preset"] = "kept";  // a preset such as where a file body goes
    ASSERT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, form), 0);
    EXPECT_EQ(response["next_sync_id"].asInteger(), 3u);
    EXPECT_EQ(response["preset"].asString(), "kept");
    EXPECT_FALSE(response.hasMember("type"));
    EXPECT_FALSE(response.hasMember("progress"));
}

TEST_F(ServerSessionTest, KeepAlivesHoldARequestOpenPastBothLimits) {
    Reply reply;
    for (int i = 0; i < 5; ++i) reply.push_back(KeepAliveNotice(2000));
    reply.push_back(Answer(Alive(300)));
    server.Script("pull_event", reply);
    SessionForm form = WorkerSessionForm(4, nullptr, nullptr, nullptr);
    form.limits = {4, 2};
    RecordingChannel ch;
    ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, form), 0);
    ch.limits.clear();

    PObject response;
    Clock::time_point start = Clock::now();
    ASSERT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, form), 0);
    EXPECT_GE(SecondsSince(start), 9.5);
    EXPECT_EQ(response["alive"].asInteger(), 300u);
    EXPECT_EQ(ch.limits, (std::vector<uint32_t>{4, 2}));
    EXPECT_TRUE(Logged("Worker (4): get keepalive message\n"));
}

TEST_F(ServerSessionTest, SilencePastTheAnswerLimitFailsAndRestoresTheSendLimit) {
    server.Script("pull_event", {Answer(Alive(300), 8000)});
    server.Script("pull_event", {Answer(Alive(300), 8000)});
    struct Case {
        const char* name;
        SessionForm form;
        int expected;
    } cases[] = {
        {"syncer", SyncerSessionForm(nullptr), ERR_IO},
        // The worker's own stream error translation decides its result.
        {"worker", WorkerSessionForm(1, nullptr, nullptr, [](int) { return ERR_TIMEOUT; }), ERR_TIMEOUT},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.form.limits = {2, 5};
        RecordingChannel ch;
        ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, c.form), 0);
        ch.limits.clear();
        PObject response;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, c.form), c.expected);
        const double waited = SecondsSince(start);
        EXPECT_GE(waited, 1.9);
        EXPECT_LT(waited, 7.5);  // well before the server's answer
        EXPECT_EQ(ch.limits, (std::vector<uint32_t>{2, 5}));
    }
    EXPECT_TRUE(Logged("Syncer: RunProtocol(pull_event): failed to recv response (-2)\n"));
    EXPECT_TRUE(Logged("Worker (1): failed to recv response. stream error code = -2.\n"));
}

TEST_F(ServerSessionTest, BadAnswersGiveAClearCodeAndALogLine) {
    PObject list;
    list.asArray().push_back(Alive(300));
    struct Case {
        const char* name;
        Reply reply;
        int expected;
        const char* logged;
    } cases[] = {
        {"closed mid-answer", {RawBytes(std::string("\x42\x10\x00\x05" "ali", 7)), CloseConnection()}, ERR_IO,
         "failed to recv response (-2)"},
        {"closed before answering", {CloseConnection(100)}, ERR_IO, "failed to recv response (-2)"},
        {"garbage", {RawBytes("\xff\xfe garbage follows")}, ERR_IO, "failed to recv response (-2)"},
        {"truncated integer", {RawBytes(std::string("\x42\x10\x00\x05" "alive\x01\x09", 11))}, ERR_IO,
         "failed to recv response (-2)"},
        {"a string", {Answer(PObject("hello"))}, ERR_PROTO, "the answer is not a map: "},
        {"an integer", {Answer(PObject(uint64_t{7}))}, ERR_PROTO, "the answer is not a map: "},
        {"an array", {Answer(list)}, ERR_PROTO, "the answer is not a map: "},
    };
    SessionForm form = SyncerSessionForm(nullptr);
    form.limits = {5, 5};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Script("pull_event", c.reply);
        Channel ch;
        ASSERT_EQ(RequestChannel(ch, Info(false), kViewId, form), 0);
        PObject response;
        Clock::time_point start = Clock::now();
        EXPECT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, form), c.expected);
        EXPECT_LT(SecondsSince(start), 5.0 + 10.0);
        EXPECT_TRUE(Logged(c.logged));
    }
}

TEST_F(ServerSessionTest, ARequestOnAChannelThatIsNotOpenFailsAtTheHeader) {
    Channel ch;
    PObject response;
    EXPECT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response, SyncerSessionForm(nullptr)), ERR_IO);
    EXPECT_TRUE(Logged("Syncer: RunProtocol(pull_event): failed to send header (-2)\n"));
    EXPECT_EQ(RunProtocol(ch, SCMD_EVT_PULL, Request("pull_event"), response,
                          WorkerSessionForm(5, nullptr, nullptr, nullptr)),
              ERR_IO);
    EXPECT_TRUE(Logged("Worker (5): RunProtocol(pull_event): failed to send header, stream error code = -2.\n"));
}

// ---------------------------------------------------------------- pooled requests

TEST_F(ServerSessionTest, AliveTimeDecidesReuseAndAFailureExpiresTheSlot) {
    ChannelStat::SetClockForTesting(&FakeNow);
    for (int i = 0; i < 3; ++i) server.Script("pull_event", {Answer(Alive(60))});
    server.Script("pull_event", {CloseConnection()});
    Connection connection(Info(true), nullptr, nullptr);
    SessionForm form = SyncerSessionForm(nullptr);
    EXPECT_FALSE(connection.isConnected2());

    PObject response;
    SessionStage failed;
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form, &failed),
              0);
    EXPECT_EQ(failed, SessionStage::kNone);
    EXPECT_TRUE(connection.isConnected2());
    EXPECT_EQ(server.CountAction("connect"), 1u);

    // Within the alive time the admitted channel is used as it is.
    g_now += 59;
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form), 0);
    EXPECT_EQ(server.CountAction("connect"), 1u);
    EXPECT_EQ(server.connections(), 1);

    // Past it, the next request opens and admits the channel again.
    g_now += 61;
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form), 0);
    EXPECT_EQ(server.CountAction("connect"), 2u);
    EXPECT_EQ(server.connections(), 2);

    // A failed request closes the only admitted channel.
    EXPECT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form, &failed),
              ERR_IO);
    EXPECT_EQ(failed, SessionStage::kRequest);
    EXPECT_FALSE(connection.isConnected2());
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
    EXPECT_EQ(server.CountAction("pull_event"), 4u);
    // Every request was encrypted.
    for (const ReceivedRequest& r : server.requests()) {
        if (r.request["action"].asString() != "encrypt_channel") {
            EXPECT_TRUE(r.under_tls);
        }
    }
}

TEST_F(ServerSessionTest, AFailedHandshakeLeavesTheSlotExpiredAndSkipsTheRequest) {
    server.Script("connect", {Answer(Alive(0))});
    Connection connection(Info(false), nullptr, nullptr);
    SessionForm form = SyncerSessionForm(nullptr);
    PObject response;
    SessionStage failed;
    EXPECT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form, &failed),
              ERR_IO);
    EXPECT_EQ(failed, SessionStage::kHandshake);
    EXPECT_FALSE(connection.isConnected2());
    EXPECT_EQ(server.CountAction("pull_event"), 0u);
    // The next request reconnects.
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form), 0);
    EXPECT_EQ(server.CountAction("connect"), 2u);
    EXPECT_EQ(server.connections(), 2);

    // A connection without a pool fails on the bad channel, and says so.
    Connection none;
    EXPECT_EQ(RunPooledRequest(none, kViewId, SCMD_EVT_PULL, Request("pull_event"), response, form, &failed),
              ERR_IO);
    EXPECT_EQ(failed, SessionStage::kHandshake);
    EXPECT_TRUE(Logged("bad function in use"));
}

// A task's abort flag governs the channel only while the task holds it: a
// task that pauses after giving its channel back must not break the next
// holder's exchange.
TEST_F(ServerSessionTest, AbortFlagLeavesTheChannelWithItsTask) {
    Connection connection(Info(false), nullptr, nullptr);
    int paused_task_flag = 0;
    PObject response;
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response,
                               SyncerSessionForm(&paused_task_flag)),
              0);
    paused_task_flag = 1;

    // The admitted channel, taken by hand: it must still send and receive.
    ChannelStat slot = connection.pop();
    ASSERT_FALSE(slot.isExpired());
    Channel& ch = slot.getChannel();
    PStream stream;
    ASSERT_EQ(ProtoWriteHeader(ch, 0, SCMD_EVT_PULL), 0);
    EXPECT_EQ(stream.Send(ch, Request("pull_event")), 0);
    PObject answer;
    EXPECT_EQ(stream.Recv(ch, answer), 0);
    connection.push(slot);

    int other_task_flag = 0;
    ASSERT_EQ(RunPooledRequest(connection, kViewId, SCMD_EVT_PULL, Request("pull_event"), response,
                               SyncerSessionForm(&other_task_flag)),
              0);
    EXPECT_EQ(server.CountAction("connect"), 1u);
    EXPECT_EQ(server.CountAction("pull_event"), 3u);
}

}  // namespace
