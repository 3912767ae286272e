#include "fs/tmp_name_gen.h"

#include "tmp_name_gen_access.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool IsName(const std::string& s) {
    return s.size() == 8 && s.find_first_not_of(kAlphabet) == std::string::npos;
}

// Names drawn from a generator seeded with a fixed key text, worked out
// independently from the keystream and encoding rules.
TEST(TmpNameGenTest, FixedKeyGivesKnownNames) {
    struct Case {
        const char* key;
        const char* names[3];
    } cases[] = {
        {"123456789", {"_5x_KO1z", "RRq6MSvz", "ySOTIXQU"}},
        {"18446744073709551615", {"9MwQrp3p", "fE51ndpu", "Kmdm4Zxz"}},
    };
    for (const Case& c : cases) {
        std::unique_ptr<TmpNameGen> gen = TmpNameGenTestAccess::make(c.key);
        for (const char* expected : c.names) EXPECT_EQ(TmpNameGenTestAccess::name(*gen), expected) << c.key;
    }
}

TEST(TmpNameGenTest, PathIsPrefixSlashName) {
    struct Case {
        const char* prefix;
        std::string expected_head;
    } cases[] = {
        {"/home/u/Sync/.work", "/home/u/Sync/.work/"},
        {"D:\\s\\.work", "D:\\s\\.work/"},
        {"", "/"},
    };
    for (const Case& c : cases) {
        std::string path = TmpNameGen::getInstance().getTmpPath(c.prefix).str();
        ASSERT_EQ(path.size(), c.expected_head.size() + 8) << path;
        EXPECT_EQ(path.substr(0, c.expected_head.size()), c.expected_head);
        EXPECT_TRUE(IsName(path.substr(c.expected_head.size()))) << path;
    }
}

TEST(TmpNameGenTest, NamesFromManyThreadsAreWellFormedAndDistinct) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&results, t] {
            for (int i = 0; i < kPerThread; ++i)
                results[t].push_back(TmpNameGen::getInstance().getTmpPath("").str().substr(1));
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (const auto& list : results) {
        for (const auto& name : list) {
            EXPECT_TRUE(IsName(name)) << name;
            all.insert(name);
        }
    }
    // 48 random bits per name: a repeat among 8000 would point at a broken generator.
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
