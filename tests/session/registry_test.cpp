#include "session/registry.h"

#include <gtest/gtest.h>

namespace {

Registry::Entry entry(uint64_t sess_id) {
    Registry::Entry e;
    e.sess_id = sess_id;
    e.conn_id = sess_id * 10;
    return e;
}

// A handle whose deleter records that the object went away.
shared_pointer<BlackList2> tracked(bool& deleted) {
    return shared_pointer<BlackList2>(static_cast<BlackList2*>(nullptr), [&deleted](BlackList2*) { deleted = true; });
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint64_t id : {12u, 5u, 9u}) reg.Set(entry(id));
    }
    Registry reg;
};

TEST_F(RegistryTest, FindNextWalksInIdOrderAndWraps) {
    struct Case {
        uint64_t from;
        uint64_t expected;
    };
    const Case cases[] = {{5, 9}, {9, 12}, {12, 5}, {7, 5}, {0, 5}, {100, 5}};
    for (const Case& c : cases) {
        Registry::Entry out;
        ASSERT_EQ(reg.FindNext(c.from, out), 1) << "from " << c.from;
        EXPECT_EQ(out.sess_id, c.expected) << "from " << c.from;
        EXPECT_EQ(out.conn_id, c.expected * 10);
    }
}

TEST_F(RegistryTest, FindNextVisitsEverySessionOncePerCycle) {
    uint64_t last = 0;
    std::vector<uint64_t> seen;
    for (int i = 0; i < 6; ++i) {
        Registry::Entry out;
        ASSERT_EQ(reg.FindNext(last, out), 1);
        seen.push_back(last = out.sess_id);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{5, 9, 12, 5, 9, 12}));
}

TEST(RegistryEmptyTest, FindAndFindNextOnEmptyOrSingle) {
    Registry reg;
    Registry::Entry out = entry(77);
    EXPECT_EQ(reg.FindNext(0, out), 0);
    EXPECT_EQ(reg.Find(1, out), 0);
    EXPECT_EQ(out.sess_id, 77u) << "a miss leaves the output alone";

    reg.Set(entry(3));
    for (uint64_t from : {0u, 3u, 4u}) {
        ASSERT_EQ(reg.FindNext(from, out), 1);
        EXPECT_EQ(out.sess_id, 3u);
    }
}

TEST_F(RegistryTest, RecycleTimeKeepsEarliestThenUpdateOverrides) {
    Registry::Entry e = entry(9);
    for (uint32_t t : {100u, 50u, 80u}) reg.InitRecycleTime(e, t);
    Registry::Entry out;
    ASSERT_EQ(reg.Find(9, out), 1);
    EXPECT_EQ(out.recycle_time, 50u);

    reg.UpdateRecycleTime(e, 80);
    reg.Find(9, out);
    EXPECT_EQ(out.recycle_time, 80u);

    // Absent sessions are not created by either call.
    reg.InitRecycleTime(entry(40), 1);
    reg.UpdateRecycleTime(entry(41), 1);
    EXPECT_EQ(reg.Size(), 3u);
}

TEST_F(RegistryTest, UpdateKeepsTheLiveRecycleTimeOfAStaleCopy) {
    Registry::Entry copy;
    ASSERT_EQ(reg.Find(9, copy), 1);
    // A worker recycles an item while a control action holds its copy.
    reg.InitRecycleTime(copy, 1234);
    copy.pause = true;
    reg.Update(copy);
    Registry::Entry out;
    ASSERT_EQ(reg.Find(9, out), 1);
    EXPECT_TRUE(out.pause);
    EXPECT_EQ(out.recycle_time, 1234u) << "the copy's stale 0 must not win";

    Registry::Entry fresh = entry(77);
    fresh.recycle_time = 5;
    reg.Update(fresh);
    ASSERT_EQ(reg.Find(77, out), 1);
    EXPECT_EQ(out.recycle_time, 5u) << "an absent session is inserted as given";
}

TEST_F(RegistryTest, SetReplacesAllFieldsAndReleasesOldHandlesWithLastCopy) {
    bool old_deleted = false;
    Registry::Entry first = entry(5);
    first.black_list = tracked(old_deleted);
    first.local_path = "/old";
    first.pause = true;
    reg.Set(first);

    Registry::Entry held;
    reg.Find(5, held);
    first.clear();
    EXPECT_EQ(first.black_list, nullptr);

    Registry::Entry second = entry(5);
    second.local_path = "/new";
    reg.Set(second);
    EXPECT_FALSE(old_deleted) << "a reader's copy still holds the old list";

    Registry::Entry now;
    reg.Find(5, now);
    EXPECT_EQ(now.local_path, "/new");
    EXPECT_FALSE(now.pause);
    EXPECT_EQ(now.perm_mode, PERM_SYNC_ALL);

    held.clear();
    EXPECT_TRUE(old_deleted);
}

TEST_F(RegistryTest, RemoveClearAndGetAll) {
    reg.Remove(7);  // absent: nothing changes
    EXPECT_EQ(reg.Size(), 3u);

    std::vector<Registry::Entry> all;
    reg.GetAll(all);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].sess_id, 5u);
    EXPECT_EQ(all[2].sess_id, 12u);

    reg.Clear(9);
    Registry::Entry out;
    EXPECT_EQ(reg.Find(9, out), 0);
    reg.Clear();
    EXPECT_EQ(reg.Size(), 0u);
    reg.GetAll(all);
    EXPECT_TRUE(all.empty());
}

}  // namespace
