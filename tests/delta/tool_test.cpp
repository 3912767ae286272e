// The tidewell-delta command line: results, usage errors and bad input.
#include <gtest/gtest.h>

#include "delta_test_util.h"

using namespace tidewell::testing;

namespace {

struct Tool : ::testing::Test {
    TempDir dir;
    std::string err_path = dir.file("stderr");

    int tool(const std::string& args) {
        return run(shell_quote(tool_path()) + " " + args + " >" + shell_quote(dir.file("stdout")) + " 2>" +
                   shell_quote(err_path));
    }
    std::string out() { return TempDir::read(dir.file("stdout")); }
    std::string err() { return TempDir::read(err_path); }
    std::string q(const std::string& name) { return shell_quote(dir.file(name)); }
};

TEST_F(Tool, SignatureDeltaPatchAndMd4) {
    std::string basis = random_bytes(100000, 1);
    std::string updated = basis.substr(0, 30000) + "edit" + basis.substr(30010);
    dir.write("basis", basis);
    dir.write("new", updated);
    ASSERT_EQ(tool("signature " + q("basis") + " " + q("sig")), 0) << err();
    ASSERT_EQ(tool("delta " + q("sig") + " " + q("new") + " " + q("delta")), 0) << err();
    ASSERT_EQ(tool("patch " + q("basis") + " " + q("delta") + " " + q("out")), 0) << err();
    EXPECT_TRUE(TempDir::read(dir.file("out")) == updated);
    // One block around the edit and the final partial block are literals.
    EXPECT_LT(TempDir::read(dir.file("delta")).size(), 4200u);

    dir.write("abc", "abc");
    ASSERT_EQ(tool("md4 " + q("abc")), 0);
    EXPECT_EQ(out(), "a448017aaf21d8525fc10ae87aa6729d\n");
}

TEST_F(Tool, BlockAndHashSizeOptions) {
    dir.write("basis", random_bytes(10000, 2));
    ASSERT_EQ(tool("-b 512 --hash-size=16 signature " + q("basis") + " " + q("sig")), 0) << err();
    std::string sig = TempDir::read(dir.file("sig"));
    EXPECT_EQ(sig.substr(0, 12), std::string("rs\x01\x36\x00\x00\x02\x00\x00\x00\x00\x10", 12));
    EXPECT_EQ(sig.size(), 12u + 20 * 20);
    ASSERT_EQ(tool("--block-size 4096 -S 4 signature " + q("basis") + " " + q("sig")), 0) << err();
    EXPECT_EQ(TempDir::read(dir.file("sig")).size(), 12u + 3 * 8);
}

TEST_F(Tool, UsageErrors) {
    dir.write("f", "x");
    struct Case {
        std::string args;
        const char* message;
    } cases[] = {
        {"", "no command given"},
        {"frobnicate " + q("f"), "unknown command 'frobnicate'"},
        {"signature " + q("f"), "signature needs BASIS and SIG"},
        {"delta " + q("f") + " " + q("f"), "delta needs SIG, NEW and DELTA"},
        {"patch " + q("f"), "patch needs BASIS, DELTA and OUT"},
        {"md4", "md4 needs FILE"},
        {"-b 0 signature " + q("f") + " " + q("s"), "invalid block size '0'"},
        {"-b 12x signature " + q("f") + " " + q("s"), "invalid block size '12x'"},
        {"-S 17 signature " + q("f") + " " + q("s"), "invalid hash size '17'"},
        {"-S 0 signature " + q("f") + " " + q("s"), "invalid hash size '0'"},
        {"-S", "option '-S' needs a value"},
        {"--frob md4 " + q("f"), "unknown option '--frob'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(tool(c.args), 2);
        EXPECT_NE(err().find(c.message), std::string::npos) << err();
    }
}

TEST_F(Tool, BadInputFailsWithAMessage) {
    dir.write("f", random_bytes(5000, 3));
    dir.write("badsig", std::string("rs\x01\x36\x00\x00\x08\x00\x00\x00\x00\x11", 12));
    dir.write("baddelta", std::string("XXXX\x00", 5));
    dir.write("truncated", std::string("rs\x02\x36\x05hel", 8));
    dir.write("pastbasis", std::string("rs\x02\x36\x4a\x13\x88\x00\x01\x00", 10));
    struct Case {
        std::string args;
        const char* message;
    } cases[] = {
        {"md4 " + q("missing"), "cannot open"},
        {"signature " + q("missing") + " " + q("s"), "cannot open"},
        {"delta " + q("badsig") + " " + q("f") + " " + q("d"), "invalid signature hash size"},
        {"patch " + q("f") + " " + q("baddelta") + " " + q("o"), "not a delta file"},
        {"patch " + q("f") + " " + q("truncated") + " " + q("o"), "truncated or invalid"},
        {"patch " + q("f") + " " + q("pastbasis") + " " + q("o"), "runs past the end of the basis"},
        {"signature " + q("f") + " " + shell_quote(dir.file("no/dir/sig")), "signature failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(tool(c.args), 1);
        EXPECT_NE(err().find(c.message), std::string::npos) << err();
    }
}

TEST_F(Tool, AFullDiskUnderThePatchedFileIsAFailedWrite) {
    dir.write("f", random_bytes(5000, 4));
    // A copy of the whole basis, then the end command.
    dir.write("delta", std::string("rs\x02\x36\x4b\x00\x00\x00\x00\x13\x88\x00", 12));
    ASSERT_EQ(tool("patch " + q("f") + " " + q("delta") + " " + q("out")), 0) << err();
    ASSERT_TRUE(TempDir::read(dir.file("out")) == TempDir::read(dir.file("f")));
    EXPECT_EQ(tool("patch " + q("f") + " " + q("delta") + " /dev/full"), 1);
    EXPECT_NE(err().find("patch failed: an output could not be produced"), std::string::npos) << err();
    EXPECT_EQ(err().find("truncated"), std::string::npos) << err();
}

}  // namespace
