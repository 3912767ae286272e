// The pull request, the check of a pull answer, and the syncers' table of
// reactions to a result.
#include <gtest/gtest.h>

#include "net/error_codes.h"
#include "sync/pull_request.h"
#include "sync/sync_error_table.h"

namespace {

TEST(PullRequestTest, CarriesTheSessionsPlaceAndTheConnectionsToken) {
    Registry::Entry e;
    e.view_id = 12;
    e.node_id = 34;
    e.remote_path = "/team";
    e.recursive = false;
    ConnectionInfo info;
    info.session = "tok";
    PObject request;
    BuildPullRequest(e, info, 99, request);
    EXPECT_EQ(request["_action"].asString(), ustring("pull_event"));
    EXPECT_EQ(request["sync_id"].asUInt64(), 99u);
    EXPECT_EQ(request["session"].asString(), ustring("tok"));
    EXPECT_EQ(request["path"].asString(), ustring("/team"));
    EXPECT_EQ(request["view_id"].asUInt64(), 12u);
    EXPECT_EQ(request["node_id"].asUInt64(), 34u);
    EXPECT_TRUE(request["recursive"].isInteger());
    EXPECT_FALSE(request["recursive"].asBool());
    EXPECT_EQ(request["file"]["offset"], PObject(uint64_t{0}));
    EXPECT_EQ(request["mtime"]["offset"], PObject(uint64_t{0}));
}

// An answer from its parts: an "error" code (0: none), "next_sync_id" (an
// integer, a text, or none) and "event_list" (an array, a map, or none).
PObject Answer(uint64_t error_code, const PObject& next, const char* list) {
    PObject a;
    a["alive"] = uint64_t{300};
    if (error_code != 0) a["error"]["code"] = error_code;
    if (!next.isNull()) a["next_sync_id"] = next;
    if (std::string(list) == "array") a["event_list"].asArray();
    if (std::string(list) == "map") a["event_list"]["x"] = uint64_t{1};
    return a;
}

TEST(PullAnswerTest, OnlyAWellFormedAnswerIsProcessed) {
    const PObject none;
    const PObject five(uint64_t{5}), nine(uint64_t{9}), text("9");
    struct Case {
        PObject answer;
        int result;
    };
    PObject no_code;
    no_code["error"]["reason"] = "x";
    const Case cases[] = {
        {Answer(0, nine, "array"), 0},
        {Answer(0, five, "none"), 0},  // nothing new needs no list
        {Answer(0, five, "array"), 0},
        {Answer(8193, nine, "array"), ERR_AUTH},
        {Answer(28672, none, "none"), ERR_SERVER},  // untranslatable is still a refusal
        {no_code, ERR_SERVER},
        {Answer(0, none, "none"), ERR_SERVER},
        {Answer(0, none, "array"), ERR_SERVER},
        {Answer(0, text, "array"), ERR_SERVER},
        {Answer(0, nine, "none"), ERR_SERVER},
        {Answer(0, nine, "map"), ERR_SERVER},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckPullAnswer(c.answer, 5, "syncer_debug"), c.result) << c.answer.toString().c_str();
}

TEST(SyncErrorTableTest, EveryResultCodeHasARowAndNothingElseDoes) {
    struct Case {
        int err;
        int action;
        ErrorType type;
    };
    const Case cases[] = {
        {ERR_OK, 0, ERR_NONE},
        {ERR_IO, 1, ERR_NONE},
        {ERR_INVAL, -1, ERR_NONE},
        {ERR_AUTH, 1, ERR_CONNECTION},
        {ERR_SERVER, 1, ERR_NONE},
        {ERR_VIEW_PATH, 1, ERR_SESSION},
        {ERR_CH_CONNECTION_ABORT, 1, ERR_NONE},
        {ERR_LOCAL_DISKFULL, 1, ERR_SESSION},
        {ERR_LOCKED_FILE, 1, ERR_NONE},
        {ERR_SSL_VERIFY_FAIL, 1, ERR_CONNECTION},
        {ERR_PERMISS_READ_ONLY, 1, ERR_SESSION},
    };
    for (const Case& c : cases) {
        const tw_sync::_error_handler* row = tw_sync::SyncErrorHandler(c.err);
        ASSERT_NE(row, nullptr) << c.err;
        EXPECT_EQ(row->action, c.action) << c.err;
        EXPECT_EQ(row->err_type, c.type) << c.err;
    }
    for (int err = 0; err > ERR_MAX; --err) EXPECT_NE(tw_sync::SyncErrorHandler(err), nullptr) << err;
    EXPECT_EQ(tw_sync::SyncErrorHandler(ERR_MAX), nullptr);
    EXPECT_EQ(tw_sync::SyncErrorHandler(1), nullptr);
    EXPECT_EQ(tw_sync::HandleSyncError(-30, 1, 2, "syncer_debug", "Syncer"), -1);
}

}  // namespace
