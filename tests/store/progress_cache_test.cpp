#include "store/progress_cache.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

ResumeCondition condition(uint64_t sess, uint64_t sync, const char* desc) {
    ResumeCondition c;
    c.sess_id = sess;
    c.sync_id = sync;
    c.filter_type = -13;
    c.filter_desc = desc;
    return c;
}

TEST(ProgressCacheTest, FrontEntryStaysUntilRemoved) {
    ProgressCache cache;
    ProgressCache::Entry e;
    EXPECT_EQ(0, cache.getProgressEntry(e));
    cache.addProgressEntry(10, condition(1, 100, "/a"));
    cache.addProgressEntry(11, condition(2, 200, "/b"));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(1, cache.getProgressEntry(e));
        EXPECT_EQ(e.row_id, 10u);
        EXPECT_EQ(e.condition.filter_desc, "/a");
    }
    EXPECT_EQ(0, cache.rmProgressEntry(10));
    EXPECT_EQ(-1, cache.rmProgressEntry(10));
    ASSERT_EQ(1, cache.getProgressEntry(e));
    EXPECT_EQ(e.row_id, 11u);
    EXPECT_EQ(e.condition.sess_id, 2u);
    EXPECT_EQ(e.condition.sync_id, 200u);
    EXPECT_EQ(e.condition.filter_type, -13);
}

TEST(ProgressCacheTest, SyncIdUpdatesTheFirstEntryOfTheRow) {
    ProgressCache cache;
    cache.addProgressEntry(5, condition(1, 100, "/a"));
    cache.addProgressEntry(5, condition(1, 100, "/dup"));  // not merged
    cache.updateProgressSyncId(5, 150);
    cache.updateProgressSyncId(99, 1);  // unknown: nothing
    ProgressCache::Entry e;
    ASSERT_EQ(1, cache.getProgressEntry(e));
    EXPECT_EQ(e.condition.sync_id, 150u);
    EXPECT_EQ(0, cache.rmProgressEntry(5));
    ASSERT_EQ(1, cache.getProgressEntry(e));
    EXPECT_EQ(e.condition.filter_desc, "/dup");
    EXPECT_EQ(e.condition.sync_id, 100u);
}

TEST(ProgressCacheTest, RemovalBySessionTakesEveryEntryOfIt) {
    ProgressCache cache;
    cache.addProgressEntry(1, condition(7, 1, "a"));
    cache.addProgressEntry(2, condition(8, 1, "b"));
    cache.addProgressEntry(3, condition(7, 1, "c"));
    cache.addProgressEntry(4, condition(7, 1, "d"));
    EXPECT_TRUE(cache.isInProgrssCache(7));
    EXPECT_EQ(0, cache.rmProgressEntryBySessionId(7));
    EXPECT_FALSE(cache.isInProgrssCache(7));
    EXPECT_EQ(-1, cache.rmProgressEntryBySessionId(7));
    EXPECT_TRUE(cache.isInProgrssCache(8));
    EXPECT_EQ(cache.size(), 1u);
    cache.clear();
    EXPECT_FALSE(cache.isInProgrssCache(8));
    EXPECT_EQ(cache.size(), 0u);
}

TEST(ProgressCacheTest, ConcurrentUseKeepsEveryEntry) {
    ProgressCache cache;
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (uint64_t i = 0; i < 500; ++i) {
                cache.addProgressEntry(t * 1000 + i, condition(t, i, "x"));
                cache.isInProgrssCache(t);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(cache.size(), 2000u);
    EXPECT_EQ(&ProgressCache::getInstance(), &ProgressCache::getInstance());
}

}  // namespace
