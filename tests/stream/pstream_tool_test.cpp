// tidewell-pstream, run as a program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

const std::string kTool = std::string(TIDEWELL_BINARY_DIR) + "/tools/pstream/tidewell-pstream";

struct ToolRun {
    int status;
    std::string out;
};

// Runs the tool with `input` on standard input.
ToolRun Tool(const std::string& command, const std::string& input) {
    tidewell::testing::TempDir dir;
    std::string in = dir.write("in", input);
    std::string cmd = kTool + " " + command + " < " + in + " 2>" + dir.file("err");
    FILE* p = popen(cmd.c_str(), "r");
    ToolRun run{-1, ""};
    if (!p) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    int st = pclose(p);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return run;
}

TEST(PStreamTool, EncodesJson) {
    struct Case {
        const char* json;
        std::string bytes;
    } cases[] = {
        {"{\"daemon_port\": 1025}",
         std::string("\x42\x10\x00\x0b", 4) + "daemon_port" + std::string("\x01\x02\x04\x01\x40", 5)},
        {"[true, false, null]", std::string("\x41\x01\x01\x01\x01\x01\x00\x00\x00\x40", 10)},
        {"-1", std::string("\x01\x08\xff\xff\xff\xff\xff\xff\xff\xff", 10)},
        {"\"hi\"", std::string("\x10\x00\x02hi", 5)},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool("encode", c.json);
        EXPECT_EQ(run.status, 0) << c.json;
        EXPECT_EQ(run.out, c.bytes) << c.json;
    }
}

TEST(PStreamTool, DecodesEveryValueToOneJsonLine) {
    std::string two = Tool("encode", "{\"b\": [1, \"x\"], \"a\": {}}").out + Tool("encode", "7").out;
    std::string binary(
        "\x42\x10\x00\x01"
        "f"
        "\x30\x00\x00\x00\x00\x00\x00\x00\x03"
        "abc"
        "\x40",
        18);
    ToolRun run = Tool("decode", two + binary);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "{\"a\":{},\"b\":[1,\"x\"]}\n7\n{\"f\":{\"binary\":3}}\n");
    EXPECT_EQ(Tool("decode", "").out, "");
}

TEST(PStreamTool, MalformedInputFails) {
    struct Case {
        const char* command;
        std::string input;
    } cases[] = {
        {"encode", "{\"a\": "},
        {"encode", "1 2"},
        {"encode", "0.5"},
        {"encode", "18446744073709551616"},
        {"decode", std::string("\x00\x01", 2)},
        {"decode", std::string("\x41\x01", 2)},
        {"bogus", ""},
    };
    auto scratch_dirs = [] {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
            n += e.path().filename().string().rfind("tidewell-pstream-", 0) == 0;
        }
        return n;
    };
    size_t before = scratch_dirs();
    for (const Case& c : cases) EXPECT_NE(Tool(c.command, c.input).status, 0) << c.command << " " << c.input;
    EXPECT_EQ(scratch_dirs(), before);  // nothing left behind
}

}  // namespace
