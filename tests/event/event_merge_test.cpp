// The merge policy on its own, without a tree: every cell of the file table,
// the directory rule and its rescan marks.
#include "event/event_merge.h"

#include <gtest/gtest.h>

#include "event/event.h"

namespace {

using event_merge::Key;

constexpr uint32_t S = Event::F_SERVER;
constexpr uint32_t D = Event::F_DIR;
constexpr int CH = Event::EV_MODIFY;
constexpr int RM = Event::EV_REMOVE;
constexpr int NO = Event::EV_EMPTY;
constexpr uint64_t kMadeUp = Event::kMadeUpSyncId;

struct Case {
    Key old_key;
    Key new_key;
    bool take_new;
    uint32_t add_mode;
    uint32_t mark;  // SubDirRescanMark for the resulting type
};

class MergePolicyTest : public ::testing::TestWithParam<Case> {};

TEST_P(MergePolicyTest, DecidesByTheTable) {
    const Case& c = GetParam();
    const event_merge::Result r = event_merge::HandleConflict(c.old_key, c.new_key);
    EXPECT_EQ(r.take_new, c.take_new);
    EXPECT_EQ(r.add_mode, c.add_mode);
    const int result_type = r.take_new ? c.new_key.type : c.old_key.type;
    EXPECT_EQ(event_merge::SubDirRescanMark(c.old_key, c.new_key, result_type), c.mark);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MergePolicyTest,
    ::testing::Values(
        // local change, then each kind
        Case{{CH, 0, 0}, {CH, 0, 0}, true, 0, 0}, Case{{CH, 0, 0}, {RM, 0, 0}, true, 0, 0},
        Case{{CH, 0, 0}, {CH, S, 5}, true, Event::F_CONFLICT, 0}, Case{{CH, 0, 0}, {RM, S, 5}, false, 0, 0},
        // local removal, then each kind: the new event
        Case{{RM, 0, 0}, {CH, 0, 0}, true, 0, 0}, Case{{RM, 0, 0}, {RM, 0, 0}, true, 0, 0},
        Case{{RM, 0, 0}, {CH, S, 5}, true, 0, 0}, Case{{RM, 0, 0}, {RM, S, 5}, true, 0, 0},
        // server change, then each kind
        Case{{CH, S, 5}, {CH, 0, 0}, false, Event::F_CONFLICT, 0}, Case{{CH, S, 5}, {RM, 0, 0}, false, 0, 0},
        Case{{CH, S, 5}, {CH, S, 6}, true, 0, 0}, Case{{CH, S, 6}, {RM, S, 6}, false, 0, 0},
        // server removal, then each kind
        Case{{RM, S, 5}, {CH, 0, 0}, true, 0, 0}, Case{{RM, S, 5}, {RM, 0, 0}, false, 0, 0},
        Case{{RM, S, 7}, {CH, S, 5}, false, 0, 0}, Case{{RM, S, 5}, {RM, S, 7}, true, 0, 0},
        // the made-up id never holds against a newer server event, even an older id
        Case{{CH, S, kMadeUp}, {CH, S, 1}, true, 0, 0}, Case{{CH, S, 1}, {CH, S, kMadeUp}, true, 0, 0},
        // an empty side gives way
        Case{{NO, 0, 0}, {RM, S, 1}, true, 0, 0}, Case{{CH, S, 1}, {NO, 0, 0}, false, 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    Directories, MergePolicyTest,
    ::testing::Values(
        // any pair that is not server against server takes the new event
        Case{{CH, S | D, 9}, {CH, D, 0}, true, 0, 0}, Case{{CH, D, 0}, {RM, S | D, 1}, true, 0, 0},
        Case{{CH, S | D, 9}, {CH, S | D, 5}, false, 0, 0},
        // a removal replaced by a change is marked for a rescan of its side
        Case{{RM, D, 0}, {CH, D, 0}, true, 0, Event::F_LOCAL_SUBDIR_RESCAN},
        Case{{RM, S | D, 3}, {CH, S | D, 5}, true, 0, Event::F_SERVER_SUBDIR_RESCAN},
        Case{{RM, S | D, 3}, {CH, D, 0}, true, 0, Event::F_SERVER_SUBDIR_RESCAN},
        // ... but not when the removal stays, or is replaced by a removal
        Case{{RM, S | D, 9}, {CH, S | D, 5}, false, 0, 0}, Case{{RM, D, 0}, {RM, D, 0}, true, 0, 0},
        Case{{NO, 0, 0}, {CH, D, 0}, true, 0, 0}));

TEST(MergePolicyTest, MixedOriginCellsArePlainFunctions) {
    // A local removal always gives way to the server's event, whichever came last.
    EXPECT_TRUE(event_merge::HandleTypeConflict(true, {CH, S, 1}, {RM, 0, 0}).take_new);
    EXPECT_FALSE(event_merge::HandleTypeConflict(false, {CH, S, 1}, {RM, 0, 0}).take_new);
    // Two changes keep the server's, marked as a conflict.
    const event_merge::Result r = event_merge::HandleTypeConflict(false, {CH, S, 1}, {CH, 0, 0});
    EXPECT_FALSE(r.take_new);
    EXPECT_EQ(r.add_mode, static_cast<uint32_t>(Event::F_CONFLICT));
}

}  // namespace
