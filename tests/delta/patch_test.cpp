#include "delta/delta_file_reader.h"

#include <gtest/gtest.h>

#include "delta/md4.h"
#include "delta_test_util.h"

using namespace tidewell::testing;

namespace {

const std::string kMagic("rs\x02\x36", 4);

std::string be(uint64_t v, int width) {
    std::string s(width, '\0');
    for (int i = width - 1; i >= 0; --i, v >>= 8) s[i] = static_cast<char>(v & 0xFF);
    return s;
}
std::string op(int byte) {
    return std::string(1, static_cast<char>(byte));
}

TEST(Patch, HandMadePatches) {
    const std::string basis = "0123456789abcdefghij";
    struct Case {
        const char* name;
        std::string patch;
        int rc;
        std::string out;
        bool complete;
    } cases[] = {
        {"immediate literal and copy", kMagic + op(3) + "xyz" + op(69) + be(10, 1) + be(5, 1) + op(0), 0, "xyzabcde",
         true},
        {"every literal width",
         kMagic + op(65) + be(1, 1) + "a" + op(66) + be(1, 2) + "b" + op(67) + be(1, 4) + "c" + op(68) + be(1, 8) +
             "d" + op(0),
         0, "abcd", true},
        {"eight-byte copy widths", kMagic + op(84) + be(2, 8) + be(3, 8) + op(0), 0, "234", true},
        {"copy of nothing", kMagic + op(69) + be(20, 1) + be(0, 1) + op(0), 0, "", true},
        {"whole basis", kMagic + op(69) + be(0, 1) + be(20, 1) + op(0), 0, basis, true},
        {"no end command", kMagic + op(2) + "hi", 0, "hi", false},
        {"reserved command 85", kMagic + op(1) + "a" + op(85) + op(1) + "b" + op(0), 0, "a", false},
        {"reserved command 255", kMagic + op(255), 0, "", false},
        {"missing parameter", kMagic + op(1) + "a" + op(70) + be(1, 1) + "\x01", 0, "a", false},
        {"literal past the end of the patch", kMagic + op(1) + "a" + op(65) + be(200, 1) + "short", 0, "a", false},
        {"absurd literal", kMagic + op(68) + be(uint64_t(1) << 62, 8) + "x" + op(0), 0, "", false},
        {"copy past the end of the basis", kMagic + op(69) + be(15, 1) + be(6, 1) + op(0), 0, "", false},
        {"copy offset past the basis", kMagic + op(69) + be(21, 1) + be(0, 1) + op(0), 0, "", false},
        {"copy with wrapping range", kMagic + op(84) + be(~uint64_t(0), 8) + be(2, 8) + op(0), 0, "", false},
        {"bad magic", std::string("rs\x01\x36", 4) + op(0), FileReader::ERROR_FILE_FORMAT, "", false},
        {"shorter than the magic", "rs", FileReader::ERROR_SYSTEM_CALL, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string b = dir.write("basis", basis);
        std::string p = dir.write("patch", c.patch);
        bool complete = true;
        ::testing::internal::CaptureStderr();
        int rc = apply_patch(b, p, dir.file("out"), &complete);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(TempDir::read(dir.file("out")), c.out);
        if (!c.complete) {
            EXPECT_FALSE(err.empty());
        }
    }
}

TEST(Patch, ReservedCommandIsNamed) {
    TempDir dir;
    std::string b = dir.write("basis", "");
    std::string p = dir.write("patch", kMagic + op(200));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apply_patch(b, p, dir.file("out")), 0);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("unexpected kind: 200"), std::string::npos);
}

TEST(Patch, BadArgumentsAndMissingFiles) {
    TempDir dir;
    std::string p = dir.write("patch", kMagic + op(0));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apply_patch("", p, dir.file("out")), FileReader::ERROR_ARGUMENT);
    EXPECT_EQ(apply_patch(dir.file("missing"), p, dir.file("out")), FileReader::ERROR_SYSTEM_CALL);
    EXPECT_EQ(apply_patch(p, dir.file("missing"), dir.file("out")), FileReader::ERROR_SYSTEM_CALL);
    ::testing::internal::GetCapturedStderr();
}

TEST(Patch, AFailedWriteOfAnOutputFailsThePatch) {
    TempDir dir;
    std::string b = dir.write("basis", random_bytes(300000, 5));
    std::string lit = random_bytes(5000, 6);
    std::string p = dir.write("patch", kMagic + op(66) + be(lit.size(), 2) + lit + op(79) + be(0, 4) +
                                           be(300000, 4) + op(0));
    // A full disk under each output in turn: the patch runs on to its end
    // command or stops, but never passes for a success.
    struct Case {
        const char* name;
        std::string new_file;
        std::string signature;
    } cases[] = {
        {"new file", "/dev/full", ""},
        {"signature", dir.file("out"), "/dev/full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ustring hash;
        DeltaFileReader r;
        r.setFile(p.c_str(), b.c_str());
        r.setNewFile(c.new_file.c_str());
        r.setHashString(hash);
        if (!c.signature.empty()) r.setSignature(c.signature.c_str(), 2048, 8);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(r.readFile(), FileReader::ERROR_HANDLER_CALL);
        ::testing::internal::GetCapturedStderr();
    }
}

TEST(Patch, AbortStopsTheReader) {
    TempDir dir;
    std::string b = dir.write("basis", random_bytes(5000, 1));
    std::string p = dir.write("patch", kMagic + op(69) + be(0, 1) + be(100, 1) + op(0));
    int flag = 1;
    DeltaFileReader r;
    r.setAbortFlag(&flag);
    r.setFile(p.c_str(), b.c_str());
    r.setNewFile(dir.file("out").c_str());
    EXPECT_EQ(r.readFile(), FileReader::ERROR_ABORT);
    EXPECT_FALSE(r.isComplete());
}

TEST(Patch, LargeCommandsStreamThroughHashAndSignature) {
    TempDir dir;
    std::string basis = random_bytes(3 << 20, 2);
    std::string lit = random_bytes((1 << 20) + 77, 3);
    std::string b = dir.write("basis", basis);
    std::string p = dir.write("patch", kMagic + op(67) + be(lit.size(), 4) + lit + op(73 + 2) + be(1000, 2) +
                                           be(basis.size() - 1000, 4) + op(0));
    std::string expected = lit + basis.substr(1000);

    ustring hash;
    DeltaFileReader r;
    r.setFile(p.c_str(), b.c_str());
    r.setNewFile(dir.file("out").c_str());
    r.setHashString(hash);
    r.setSignature(dir.file("sig").c_str(), 2048, 8);
    ASSERT_EQ(r.readFile(), 0);
    EXPECT_TRUE(r.isComplete());
    EXPECT_TRUE(TempDir::read(dir.file("out")) == expected);
    uint8_t digest[16];
    Md4::digest(expected.data(), expected.size(), digest);
    EXPECT_EQ(hash, Md4::toHex(digest));
    ASSERT_EQ(make_signature(dir.file("out"), dir.file("sig2")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("sig")) == TempDir::read(dir.file("sig2")));
}

TEST(Patch, ReverseDeltaRestoresTheBasis) {
    std::string basis = random_bytes(200000, 4);
    struct Case {
        const char* name;
        std::string patch;
    } cases[] = {
        {"edited", kMagic + op(73 + 2) + be(0, 2) + be(50000, 4) + op(5) + "hello" + op(73 + 2) + be(60000, 2) +
                       be(100000, 4) + op(0)},
        // The same basis bytes copied twice, and copies that overlap.
        {"overlapping", kMagic + op(77 + 2) + be(10000, 4) + be(30000, 4) + op(77 + 2) + be(10000, 4) + be(30000, 4) +
                            op(77 + 2) + be(20000, 4) + be(50000, 4) + op(77 + 1) + be(25000, 4) + be(1000, 2) + op(0)},
        {"literal only", kMagic + op(3) + "new" + op(0)},
        {"whole basis", kMagic + op(77 + 2) + be(0, 4) + be(basis.size(), 4) + op(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string b = dir.write("basis", basis);
        std::string p = dir.write("patch", c.patch);
        DeltaFileReader r;
        r.setFile(p.c_str(), b.c_str());
        r.setNewFile(dir.file("new").c_str());
        r.setReverseDeltaFile(dir.file("reverse").c_str());
        ASSERT_EQ(r.readFile(), 0);
        ASSERT_TRUE(r.isComplete());
        bool complete = false;
        ASSERT_EQ(apply_patch(dir.file("new"), dir.file("reverse"), dir.file("restored"), &complete), 0);
        EXPECT_TRUE(complete);
        EXPECT_TRUE(TempDir::read(dir.file("restored")) == basis);
    }
}

}  // namespace
