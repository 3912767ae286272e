#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "filter/black_list2.h"
#include "filter/force_hash_check_list_cpp.h"
#include "filter/white_list_cpp.h"
#include "support/temp_dir.h"

using tidewell::testing::TempDir;

namespace {

TEST(BlackList2Test, SecondLoadReplacesAndMissingFileEmpties) {
    TempDir dir;
    std::string first = dir.write("a.filter", "[Common]\nblack_name = \"one\"\n[File]\nmax_size = 10\n");
    std::string second = dir.write("b.filter", "[Common]\nblack_name = \"two\"\nmax_path = 5\n");
    BlackList2 list;
    EXPECT_EQ(list.TestFilePath("/one"), 0);  // a new list is empty

    ASSERT_EQ(list.Load(first), 0);
    EXPECT_EQ(list.TestFilePath("/one"), FILTER_BLACK_NAME);
    EXPECT_EQ(list.TestDirectoryPath("/x/one"), FILTER_BLACK_NAME);
    EXPECT_EQ(list.TestFileSize(11), FILTER_MAX_SIZE);

    ASSERT_EQ(list.Load(second), 0);
    EXPECT_EQ(list.TestFilePath("/one"), 0);
    EXPECT_EQ(list.TestFilePath("/two"), FILTER_BLACK_NAME);
    EXPECT_EQ(list.TestFileSize(11), 0);
    EXPECT_EQ(list.TestFullPathSize(6), FILTER_MAX_PATH);

    EXPECT_EQ(list.Load(dir.file("missing.filter")), -1);
    EXPECT_EQ(list.TestFilePath("/two"), 0);
    EXPECT_EQ(list.TestFullPathSize(6), 0);

    ASSERT_EQ(list.Load(first), 0);
    EXPECT_EQ(list.Load(dir.write("bad.filter", "[Common]\nblack_name = one\n")), -1);
    EXPECT_EQ(list.TestFilePath("/one"), 0);
    EXPECT_EQ(list.TestFileSize(11), 0);
}

TEST(BlackList2Test, DestroyEmptiesAndLoadWorksAfterIt) {
    TempDir dir;
    std::string file = dir.write("a.filter", "[Common]\nblack_dir_prefix = \"/tmp\"\n");
    BlackList2 list;
    ASSERT_EQ(list.Load(file), 0);
    list.Destroy();
    EXPECT_EQ(list.TestDirectoryPath("/tmp"), 0);
    ASSERT_EQ(list.Load(file), 0);
    EXPECT_EQ(list.TestDirectoryPath("/tmp"), FILTER_BLACK_DIR_PREFIX);
}

TEST(BlackList2Test, SystemFilterIsOneInstance) {
    TempDir dir;
    BlackList2& system = BlackList2::getInstance();
    EXPECT_EQ(&system, &BlackList2::getInstance());
    ASSERT_EQ(system.Load(dir.write("system.filter", "[Common]\nblack_name = \".CorvexaWorkingDirectory\"\n")), 0);
    EXPECT_EQ(BlackList2::getInstance().TestDirectoryPath("/.CorvexaWorkingDirectory"), FILTER_BLACK_NAME);
    system.Destroy();
    EXPECT_EQ(BlackList2::getInstance().TestDirectoryPath("/.CorvexaWorkingDirectory"), 0);
}

TEST(BlackList2Test, TestsDuringReloadSeeAWholeList) {
    TempDir dir;
    std::string a = dir.write("a.filter", "[File]\nblack_ext = \"a1\", \"a2\", \"a3\", \"a4\", \"a5\", \"a6\"\n");
    std::string b = dir.write("b.filter", "[File]\nblack_name = \"x.b1\"\n");
    BlackList2 list;
    ASSERT_EQ(list.Load(a), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::thread tester([&] {
        while (!stop) {
            int r = list.TestFilePath("/x.a6");
            int s = list.TestFilePath("/x.b1");
            // Each result comes from either whole list, never from a mix.
            if ((r != 0 && r != FILTER_BLACK_EXT) || (s != 0 && s != FILTER_BLACK_NAME)) ++odd;
        }
    });
    for (int i = 0; i < 200; ++i) ASSERT_EQ(list.Load(i % 2 ? a : b), 0);
    stop = true;
    tester.join();
    EXPECT_EQ(odd, 0);
}

TEST(WhiteListCppTest, LoadReplacesClearEmpties) {
    TempDir dir;
    WhiteListCpp list;
    EXPECT_EQ(list.Test("a.txt"), -1);  // empty: allows nothing
    ASSERT_EQ(list.Load(dir.write("w1", "[File]\nwhite_ext = \"txt\"\n")), 0);
    EXPECT_EQ(list.Test("a.TXT"), 0);
    ASSERT_EQ(list.Load(dir.write("w2", "[File]\nwhite_ext = \"doc\"\n")), 0);
    EXPECT_EQ(list.Test("a.txt"), -1);
    EXPECT_EQ(list.Test("a.doc"), 0);
    ASSERT_EQ(list.Load(dir.write("w3", "[File]\nwhite_ext = \"*\"\n")), 0);
    EXPECT_EQ(list.Test("noext"), 0);
    EXPECT_EQ(list.Test(""), -1);
    list.Clear();
    EXPECT_EQ(list.Test("noext"), -1);
    ASSERT_EQ(list.Load(dir.write("w1", "[File]\nwhite_ext = \"txt\"\n")), 0);
    EXPECT_EQ(list.Load(dir.file("missing")), -1);
    EXPECT_EQ(list.Test("a.txt"), -1);
}

TEST(ForceHashCheckListCppTest, LoadReplacesClearEmpties) {
    TempDir dir;
    ForceHashCheckListCpp list;
    EXPECT_EQ(list.Test("a.psd"), 0);
    ASSERT_EQ(list.Load(dir.write("f1", "[File]\nforce_hash_ext = \"psd\"\n")), 0);
    EXPECT_EQ(list.Test("a.PSD"), 1);
    EXPECT_EQ(list.Test("a.doc"), 0);
    EXPECT_EQ(list.Test(""), -1);
    ASSERT_EQ(list.Load(dir.write("f2", "[File]\nforce_hash_ext = \"doc\"\n")), 0);
    EXPECT_EQ(list.Test("a.psd"), 0);
    EXPECT_EQ(list.Test("a.doc"), 1);
    list.Clear();
    EXPECT_EQ(list.Test("a.doc"), 0);
    ASSERT_EQ(list.Load(dir.write("f2", "[File]\nforce_hash_ext = \"doc\"\n")), 0);
    EXPECT_EQ(list.Load(dir.write("bad", "[File]\nforce_hash_ext = \"\"\n")), -1);
    EXPECT_EQ(list.Test("a.doc"), 0);
}

}  // namespace
