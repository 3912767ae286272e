#include "store/resume_trans_mgr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

using tidewell::testing::TempDir;
namespace fs = std::filesystem;

namespace {

PObject with_file(const std::string& member, const std::string& path) {
    PObject p;
    PObject::binary_type b;
    b.path = path;
    b.length = 1;
    p[member.c_str()]["data"] = b;
    p["name"] = "x";
    return p;
}

class ResumeTransMgrTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir.path() / "wd"); }

    // A job whose request and response refer to two temporary files in the
    // working directory, plus an upload signature file.
    ResumeTransMgr::CachedJob job(const std::string& token, time_t age = 0) {
        std::string req = dir.write("wd/" + token + ".req", "r");
        std::string resp = dir.write("wd/" + token + ".resp", "s");
        std::string sign = dir.write(token + ".sig", "g");
        ResumeTransMgr::CachedJob j;
        ResumeTransMgr::InitialCachedJob(token, sign, wd(), with_file("file", req), with_file("file", resp), j);
        j.create_time -= age;
        return j;
    }
    std::string wd() const { return dir.file("wd"); }
    bool files_exist(const std::string& token) const {
        return fs::exists(dir.file("wd/" + token + ".req")) && fs::exists(dir.file("wd/" + token + ".resp")) &&
               fs::exists(dir.file(token + ".sig"));
    }
    bool files_gone(const std::string& token) const {
        return !fs::exists(dir.file("wd/" + token + ".req")) && !fs::exists(dir.file("wd/" + token + ".resp")) &&
               !fs::exists(dir.file(token + ".sig"));
    }

    TempDir dir;
};

TEST(ResumeTokenTest, TokenJoinsSessionPathAndDirection) {
    EXPECT_EQ(ResumeTransMgr::GenToken(7, "/s/f.txt", "Download"), "7|/s/f.txt|Download");
    EXPECT_EQ(ResumeTransMgr::GenToken(18446744073709551615ull, "/a|b", "Upload"), "18446744073709551615|/a|b|Upload");
}

TEST_F(ResumeTransMgrTest, TakeHandsTheJobBackOnce) {
    ResumeTransMgr mgr(4);
    ResumeTransMgr::CachedJob in = job("a");
    ASSERT_EQ(0, mgr.Push(in));
    ResumeTransMgr::CachedJob out;
    ASSERT_EQ(0, mgr.Take("a", out));
    EXPECT_EQ(out.token, "a");
    EXPECT_EQ(out.working_dir, wd());
    EXPECT_EQ(out.cached_req, in.cached_req);
    EXPECT_EQ(out.create_time, in.create_time);
    EXPECT_TRUE(files_exist("a"));  // the files are the caller's again
    out.token = "untouched";
    EXPECT_EQ(-1, mgr.Take("a", out));
    EXPECT_EQ(out.token, "untouched");
}

TEST_F(ResumeTransMgrTest, ATokenClashKeepsTheCachedJobAndRefusesTheNewOne) {
    ResumeTransMgr mgr(4);
    ResumeTransMgr::CachedJob first = job("a");
    ASSERT_EQ(0, mgr.Push(first));
    ResumeTransMgr::CachedJob second = first;
    second.cached_req["name"] = "second";
    EXPECT_EQ(-1, mgr.Push(second));
    ResumeTransMgr::CachedJob out;
    ASSERT_EQ(0, mgr.Take("a", out));
    EXPECT_EQ(out.cached_req["name"].asString(), "x");
    EXPECT_TRUE(files_exist("a"));
}

TEST_F(ResumeTransMgrTest, AFullCacheEvictsOnlyAnOldEnoughJob) {
    struct Case {
        time_t oldest_age;
        bool evicted;
    };
    for (const Case& c : {Case{60, false}, Case{121, true}}) {
        SCOPED_TRACE(c.oldest_age);
        ResumeTransMgr mgr(2);
        ASSERT_EQ(0, mgr.Push(job("old", c.oldest_age)));
        ASSERT_EQ(0, mgr.Push(job("b")));
        ResumeTransMgr::CachedJob out;
        if (c.evicted) {
            EXPECT_EQ(0, mgr.Push(job("new")));
            EXPECT_TRUE(files_gone("old"));
            EXPECT_EQ(-1, mgr.Take("old", out));
            EXPECT_EQ(0, mgr.Take("new", out));
        } else {
            // Not kept: reported, and its files stay with the caller.
            EXPECT_EQ(-1, mgr.Push(job("new")));
            EXPECT_TRUE(files_exist("old"));
            EXPECT_TRUE(files_exist("new"));
            EXPECT_EQ(-1, mgr.Take("new", out));
            EXPECT_EQ(0, mgr.Take("old", out));
        }
        EXPECT_EQ(0, mgr.Take("b", out));
        EXPECT_EQ(mgr.Size(), 0u);
    }
}

TEST_F(ResumeTransMgrTest, ACacheOfSizeZeroKeepsNothing) {
    ResumeTransMgr mgr(0);
    EXPECT_EQ(-1, mgr.Push(job("a")));
    EXPECT_TRUE(files_exist("a"));
}

TEST_F(ResumeTransMgrTest, ClearRemovesEveryJobAndItsFiles) {
    {
        ResumeTransMgr mgr(8);
        ASSERT_EQ(0, mgr.Push(job("a")));
        ASSERT_EQ(0, mgr.Push(job("b")));
        mgr.Clear();
        EXPECT_EQ(mgr.Size(), 0u);
        EXPECT_TRUE(files_gone("a"));
        EXPECT_TRUE(files_gone("b"));
        ASSERT_EQ(0, mgr.Push(job("c")));
    }
    // Destroying the manager clears it too.
    EXPECT_TRUE(files_gone("c"));
}

TEST_F(ResumeTransMgrTest, OnlyFilesBelowTheWorkingDirectoryAreRemoved) {
    std::string inside = dir.write("wd/inside", "1");
    std::string outside = dir.write("outside", "2");
    std::string sibling = dir.write("wd-other", "3");
    fs::create_directories(dir.path() / "wd/sub");
    std::string escaping = dir.file("wd/sub/../../outside2");
    dir.write("outside2", "4");
    std::string mac = dir.write("mac.attr", "5");

    struct Case {
        std::string file_path;
        bool removed;
    };
    const std::vector<Case> cases = {{inside, true}, {outside, false}, {sibling, false}, {escaping, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file_path);
        ResumeTransMgr::CachedJob j;
        j.working_dir = wd();
        PObject p = with_file("file", c.file_path);
        j.ClearPObject(p);
        EXPECT_TRUE(p.isNull());
        EXPECT_EQ(!fs::exists(c.file_path), c.removed);
    }

    // An empty working directory protects every "file" path.
    std::string kept = dir.write("wd/kept", "6");
    ResumeTransMgr::CachedJob none;
    PObject p = with_file("file", kept);
    none.ClearPObject(p);
    EXPECT_TRUE(fs::exists(kept));

    // "mac_attribute" data is removed wherever it is.
    ResumeTransMgr::CachedJob j;
    j.working_dir = wd();
    PObject m = with_file("mac_attribute", mac);
    j.ClearPObject(m);
    EXPECT_FALSE(fs::exists(mac));
}

TEST_F(ResumeTransMgrTest, ClearingAJobEmptiesIt) {
    ResumeTransMgr::CachedJob j = job("a");
    j.Clear();
    EXPECT_TRUE(files_gone("a"));
    EXPECT_EQ(j.token, "");
    EXPECT_EQ(j.working_dir, "");
    EXPECT_EQ(j.upload_sign_file, "");
    EXPECT_EQ(j.create_time, 0);
    EXPECT_TRUE(j.cached_req.isNull());
    EXPECT_TRUE(j.cached_resp.isNull());
}

}  // namespace
