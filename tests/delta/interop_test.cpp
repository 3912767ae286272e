// Interoperability with librsync's rdiff and OpenSSL's MD4: signatures are
// byte-identical, each side applies the other's deltas, hashes agree.
#include <gtest/gtest.h>

#include "delta_test_util.h"

using namespace tidewell::testing;

namespace {

struct InteropCase {
    const char* name;
    size_t size;
    const char* edit;
};

std::string edited(const std::string& basis, const std::string& edit, uint32_t seed) {
    if (edit == "identical") return basis;
    if (edit == "insertion") {
        size_t at = basis.size() / 2;
        return basis.substr(0, at) + random_bytes(37, seed) + basis.substr(at);
    }
    if (edit == "deletion") {
        size_t at = basis.size() / 3, n = std::min<size_t>(1500, basis.size() - at);
        return basis.substr(0, at) + basis.substr(at + n);
    }
    if (edit == "append") return basis + random_bytes(3000, seed);
    if (edit == "scattered") {
        std::string s = basis;
        size_t step = std::max<size_t>(1, s.size() / 25);
        for (size_t i = step / 2; i < s.size(); i += step) s[i] = static_cast<char>(~s[i]);
        return s;
    }
    return random_bytes(basis.size() + 100, seed);  // unrelated
}

// A file made of one block repeated, optionally with one byte changed.
std::string repeated_block(size_t size, bool changed) {
    std::string block = random_bytes(2048, 99), s;
    while (s.size() < size) s += block;
    s.resize(size);
    if (changed && !s.empty()) s[s.size() / 2] ^= 1;
    return s;
}

class Interop : public ::testing::TestWithParam<InteropCase> {
protected:
    void SetUp() override {
        if (!on_path("rdiff")) GTEST_SKIP() << "rdiff (librsync) is not on PATH; install the Debian package rdiff";
    }
    TempDir dir;
    std::string q(const std::string& name) { return shell_quote(dir.file(name)); }
    std::string ours() { return shell_quote(tool_path()) + " "; }
};

TEST_P(Interop, SignaturesDeltasAndPatchesAgreeWithRdiff) {
    const InteropCase& c = GetParam();
    std::string basis, updated;
    if (std::string(c.edit) == "repeated block") {
        basis = repeated_block(c.size, false);
        updated = repeated_block(c.size + 5000, true);
    } else {
        basis = random_bytes(c.size, static_cast<uint32_t>(c.size + 1));
        updated = edited(basis, c.edit, static_cast<uint32_t>(c.size + 2));
    }
    dir.write("basis", basis);
    dir.write("new", updated);

    ASSERT_EQ(run(ours() + "signature " + q("basis") + " " + q("sig")), 0);
    ASSERT_EQ(run("rdiff -b 2048 -S 8 -H md4 -R rollsum signature " + q("basis") + " " + q("rsig")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("sig")) == TempDir::read(dir.file("rsig"))) << "signatures differ";

    // Our delta, applied by rdiff.
    ASSERT_EQ(run(ours() + "delta " + q("sig") + " " + q("new") + " " + q("delta")), 0);
    ASSERT_EQ(run("rdiff patch " + q("basis") + " " + q("delta") + " " + q("out1")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("out1")) == updated) << "rdiff patch of our delta";

    // rdiff's delta from our signature, applied by us.
    ASSERT_EQ(run("rdiff delta " + q("sig") + " " + q("new") + " " + q("rdelta")), 0);
    ASSERT_EQ(run(ours() + "patch " + q("basis") + " " + q("rdelta") + " " + q("out2")), 0);
    EXPECT_TRUE(TempDir::read(dir.file("out2")) == updated) << "our patch of rdiff's delta";

    if (std::string(c.edit) != "unrelated" && updated.size() > 100000) {
        EXPECT_LT(TempDir::read(dir.file("delta")).size(), updated.size() / 50) << "delta too large";
    }
}

std::vector<InteropCase> all_cases() {
    std::vector<InteropCase> cases;
    const std::pair<const char*, size_t> sizes[] = {{"0B", 0},       {"1B", 1},       {"2047B", 2047},
                                                    {"2048B", 2048}, {"2049B", 2049}, {"10MiB", 10 << 20}};
    const char* edits[] = {"identical", "insertion", "deletion", "append", "scattered", "repeated block", "unrelated"};
    for (auto& [name, size] : sizes)
        for (const char* edit : edits) cases.push_back({name, size, edit});
    return cases;
}

TEST(InteropMd4, MatchesOpensslDgst) {
    if (!on_path("openssl")) GTEST_SKIP() << "openssl is not on PATH";
    TempDir dir;
    for (size_t size : {0, 1, 2047, 2048, 2049, 10 << 20}) {
        SCOPED_TRACE(size);
        std::string f = dir.write("f", random_bytes(size, static_cast<uint32_t>(size + 1)));
        std::string ours = shell_quote(dir.file("ours")), ref = shell_quote(dir.file("ref"));
        ASSERT_EQ(run(shell_quote(tool_path()) + " md4 " + shell_quote(f) + " > " + ours), 0);
        ASSERT_EQ(run("openssl dgst -md4 -provider legacy -provider default -r " + shell_quote(f) + " > " + ref), 0);
        std::string ours_hash = TempDir::read(dir.file("ours")), ref_hash = TempDir::read(dir.file("ref"));
        ASSERT_EQ(ours_hash.size(), 33u);
        EXPECT_EQ(ours_hash.substr(0, 32), ref_hash.substr(0, 32));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Interop, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<InteropCase>& info) {
                             std::string name = std::string(info.param.name) + "_" + info.param.edit;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
