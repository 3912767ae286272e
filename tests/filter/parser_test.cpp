#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "filter/filter.h"
#include "filter/parser.h"
#include "record_text.h"
#include "support/temp_dir.h"

using filter_testing::record_text;
using tidewell::testing::TempDir;

namespace {

struct ReadCase {
    const char* name;
    std::string text;
    parse_result result;
    std::string record;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class FilterReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(FilterReadTest, ParsesIntoRecord) {
    const ReadCase& c = GetParam();
    TempDir dir;
    std::string path = dir.write("blacklist.filter", c.text);
    Filter f;
    ASSERT_EQ(filter_init(&f), 0);
    parse_status status;
    EXPECT_EQ(parse(path.c_str(), &tw_filter_schema, &f, &status), c.result);
    EXPECT_EQ(status.error_code, 0);
    EXPECT_EQ(record_text(f), c.record);
    filter_destroy(&f);
}

// 1024 bytes that end right after a ", ": the first read ends there and the
// next read continues the set.
const std::string kLongPrefixes = [] {
    std::string line = "black_prefix =  ";
    for (int i = 100; i < 226; ++i) line += "\"p" + std::to_string(i) + "\", ";
    return line;
}();

INSTANTIATE_TEST_SUITE_P(
    Files, FilterReadTest,
    ::testing::Values(
        ReadCase{
            "SampleFile",
            "[Version]\nmajor = 1\nminor = 0\n[File]\nblack_ext = \"tmp\", \"log\",\n    \"swp\"\nmax_size = 0   # "
            "no limit\n",
            PARSE_DONE, "v1.0 file.black_ext=[tmp|log|swp]"},
        ReadCase{"EmptyFile", "", PARSE_DONE, "v0.0"},
        ReadCase{"CommentsBlanksAndCrlf",
                 "# header\r\n\r\n   [Version]  # v\r\n\tmajor=1\r\nminor\t=\t2 # two\r\n  # indented comment\r\n"
                 "[Common]\r\nblack_name = \"a\" ,\"b\"#c\r\n",
                 PARSE_DONE, "v1.2 common.black_name=[a|b]"},
        ReadCase{"SetsAccumulateAndStringsReplace",
                 "[Common]\nblack_char = \"x\"\nblack_name = \"a\",\n# between\n\n \"b\", \"c\",\n\"d\"\n"
                 "black_char = \"yz\"\nblack_name = \"a\"\n",
                 PARSE_DONE, "v0.0 common.black_char='yz' common.black_name=[a|b|c|d|a]"},
        ReadCase{"SectionsMayRepeat", "[File]\nblack_ext = \"a\"\n[Common]\nmax_path = 9\n[File]\nblack_ext = \"b\"\n",
                 PARSE_DONE, "v0.0 common.max_path=9 file.black_ext=[a|b]"},
        ReadCase{"Escapes",
                 "[Common]\nblack_name = \"\\x41\\101\", \"\\\"\\\\\\?\\'\", \"a\\tb\", \"\\x7e\\x7E\", \"\\377\"\n",
                 PARSE_DONE, "v0.0 common.black_name=[AA|\"\\?'|a\tb|~~|\xff]"},
        ReadCase{"Numbers",
                 "[Version]\nmajor = +1\nminor = 0\n[Common]\nmax_length = 1.5\nmax_path = -3\n[File]\n"
                 "max_size = 10737418240\nmax_size_selective_sync = 18446744073709551615\n",
                 PARSE_DONE,
                 "v1.0 common.max_length=1 common.max_path=-3 file.max_size=10737418240 "
                 "file.max_size_selective_sync=-1"},
        ReadCase{"Int32Saturates", "[Version]\nmajor = 99999999999\nminor = -99999999999\n", PARSE_DONE,
                 "v2147483647.-2147483648"},
        ReadCase{"UnknownKeyIsSkipped",
                 "[Version]\nmajor = 1\nminor = 1\n[File]\nnew_key = \"x\", bad syntax here\nblack_ext = \"a\"\n",
                 PARSE_PARTIAL, "v1.1 file.black_ext=[a]"},
        ReadCase{"LastLineWithoutLineFeedEndsString", "[Common]\nblack_name = \"abc", PARSE_DONE,
                 "v0.0 common.black_name=[abc]"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(FilterReadTest, LongLineSplitAfterCommaKeepsEveryEntry) {
    TempDir dir;
    std::string path = dir.write("f", "[Common]\n" + kLongPrefixes + "\"last\"\n");
    Filter f;
    filter_init(&f);
    ASSERT_EQ(filter_read(&f, path.c_str()), 0);
    ASSERT_EQ(kLongPrefixes.size(), 1024u);
    ASSERT_EQ(f.common.black_prefix.used, 127u);
    EXPECT_STREQ(f.common.black_prefix.set[0], "p100");
    EXPECT_STREQ(f.common.black_prefix.set[f.common.black_prefix.used - 1], "last");
    filter_destroy(&f);
}

struct BadCase {
    const char* name;
    std::string text;
    int error;
    int line;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class FilterBadLineTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(FilterBadLineTest, RefusesWithCodeAndLine) {
    const BadCase& c = GetParam();
    TempDir dir;
    std::string path = dir.write("bad.filter", c.text);
    Filter f;
    filter_init(&f);
    parse_status status;
    EXPECT_EQ(parse(path.c_str(), &tw_filter_schema, &f, &status), PARSE_ERROR);
    EXPECT_EQ(status.error_code, c.error) << parser_error_name(status.error_code);
    EXPECT_EQ(status.line, c.line);
    filter_destroy(&f);

    // The reader refuses the file and leaves an empty record.
    filter_init(&f);
    EXPECT_EQ(filter_read(&f, path.c_str()), -1);
    EXPECT_EQ(record_text(f), "v0.0");
    filter_destroy(&f);
}

const std::string kName33(33, 'k');
const std::string kName32(32, 'k');

INSTANTIATE_TEST_SUITE_P(
    Lines, FilterBadLineTest,
    ::testing::Values(
        BadCase{"HeaderWithoutRightBracket", "[Version", PERR_SECTION_MISSING_RIGHT_BRACKET, 1},
        BadCase{"HeaderOnlyBracket", "[# c", PERR_SECTION_MISSING_RIGHT_BRACKET, 1},
        BadCase{"HeaderWithoutName", "# c\n[]\n", PERR_SECTION_MISSING_SECTION, 2},
        BadCase{"HeaderIllegalCharacter", "[Ver sion]\n", PERR_SECTION_ILLEGAL_CHARACTER, 1},
        BadCase{"HeaderTooLong", "[" + kName33 + "]\n", PERR_SECTION_TOO_LONG, 1},
        BadCase{"HeaderOf32IsOnlyUnknown", "[" + kName32 + "]\n", PERR_SECTION_UNDEFINED_SECTION, 1},
        BadCase{"HeaderCaseMatters", "[version]\n", PERR_SECTION_UNDEFINED_SECTION, 1},
        BadCase{"HeaderTrailingText", "[Version] x\n", PERR_LINE_NOT_ENDED, 1},
        BadCase{"KeyBeforeAnySection", "major = 1\n", PERR_LINE_NOT_EXPECTED, 1},
        BadCase{"KeyMissing", "[Version]\n= 1\n", PERR_KEY_MISSING_KEY, 2},
        BadCase{"QuotedLineWithoutContinuation", "[File]\n\"tmp\"\n", PERR_KEY_MISSING_KEY, 2},
        BadCase{"KeyWithoutEquals", "[Version]\nmajor 1\n", PERR_KEY_ILLEGAL_CHARACTER, 2},
        BadCase{"UnknownKeyWithoutEquals", "[Version]\nmystery 1\n", PERR_KEY_ILLEGAL_CHARACTER, 2},
        BadCase{"KeyTooLong", "[Version]\n" + kName33 + " = 1\n", PERR_KEY_TOO_LONG, 2},
        BadCase{"SignWithoutDigits", "[Version]\nmajor = -\n", PERR_VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
        BadCase{"NotANumber", "[Version]\nmajor = abc\n", PERR_VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
        BadCase{"DotWithoutDigits", "[Version]\nmajor = 1.\n", PERR_VALUE_NUMERIC_MISSING_FRACTIONAL_PART, 2},
        BadCase{"NoValue", "[Version]\nmajor = # none\n", PERR_VALUE_NUMERIC_MISSING_VALUE, 2},
        BadCase{"LeadingZero", "[Version]\nmajor = 012\n", PERR_VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
        BadCase{"DigitsThenLetters", "[Version]\nmajor = 1x\n", PERR_VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
        BadCase{"TwoNumbers", "[Version]\nmajor = 1 2\n", PERR_LINE_NOT_ENDED, 2},
        BadCase{"NumberTooLong", "[Common]\nmax_path = 1" + std::string(511, '0') + "\n", PERR_VALUE_TOO_LONG, 2},
        BadCase{"StringWithoutQuote", "[File]\nblack_ext = tmp\n", PERR_VALUE_STRING_MISSING_LEFT_QUOTE, 2},
        BadCase{"StringCutByLineFeed", "[File]\nblack_ext = \"tmp\n\"\n", PERR_VALUE_STRING_MISSING_RIGHT_QUOTE, 2},
        BadCase{"LiteralTab", "[File]\nblack_ext = \"a\tb\"\n", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"CarriageReturnInString", "[File]\nblack_ext = \"a\r\"\n", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"UnknownEscape", "[File]\nblack_ext = \"\\q\"\n", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"ShortHexEscape", "[File]\nblack_ext = \"\\x4\"\n", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"OctalEscapeOutOfRange", "[File]\nblack_ext = \"\\400\"\n", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"BackslashAtEnd", "[File]\nblack_ext = \"a\\", PERR_VALUE_STRING_ILLEGAL_CHARACTER, 2},
        BadCase{"HexEscapeOfNul", "[File]\nblack_ext = \"\\x00\"\n", PERR_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE, 2},
        BadCase{"OctalEscapeOfNul", "[File]\nblack_ext = \"a\\000\"\n", PERR_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE, 2},
        BadCase{"EmptyString", "[File]\nblack_ext = \"a\", \"\"\n", PERR_VALUE_STRING_EMPTY, 2},
        BadCase{"StringsWithoutComma", "[File]\nblack_ext = \"a\" \"b\"\n", PERR_VALUE_SET_MISSING_SEPARATER, 2},
        BadCase{"StringTooLong", "[File]\nblack_ext = \"" + std::string(513, 'a') + "\"\n", PERR_VALUE_TOO_LONG, 2},
        BadCase{"StringThenText", "[File]\nblack_char = \"a\" b\n", PERR_LINE_NOT_ENDED, 2},
        BadCase{"ContinuationThenKey", "[File]\nblack_ext = \"a\",\nmax_size = 1\n", PERR_LINE_NOT_EXPECTED, 3},
        BadCase{"ContinuationThenHeader", "[File]\nblack_ext = \"a\",\n# c\n[Common]\n", PERR_LINE_NOT_EXPECTED, 4},
        BadCase{"LongLineSplitInsideString",
                "[Common]\nblack_name = \"" + std::string(500, 'a') + "\", \"" + std::string(500, 'b') + "\", \"" +
                    std::string(10, 'c') + "\"\n",
                PERR_KEY_ILLEGAL_CHARACTER, 3}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(FilterReadTest, StringOf512BytesIsAccepted) {
    TempDir dir;
    std::string path = dir.write("f", "[File]\nblack_ext = \"" + std::string(512, 'a') + "\"\n");
    Filter f;
    filter_init(&f);
    ASSERT_EQ(filter_read(&f, path.c_str()), 0);
    EXPECT_EQ(std::string(f.file.black_ext.set[0]), std::string(512, 'a'));
    filter_destroy(&f);
}

TEST(FilterReadTest, UnknownKeysNeedAVersionAbove10) {
    struct {
        const char* version;
        int expected;
    } cases[] = {{"major = 1\nminor = 0", -1}, {"major = 1\nminor = 1", 0}, {"major = 2\nminor = 1", -1}, {"", -1}};
    for (const auto& c : cases) {
        TempDir dir;
        std::string path =
            dir.write("f", std::string("[Version]\n") + c.version + "\n[File]\nfuture = 1\nblack_ext = \"tmp\"\n");
        Filter f;
        filter_init(&f);
        EXPECT_EQ(filter_read(&f, path.c_str()), c.expected) << c.version;
        EXPECT_EQ(record_text(f), c.expected == 0 ? "v1.1 file.black_ext=[tmp]" : "v0.0") << c.version;
        filter_destroy(&f);
    }
}

TEST(FilterReadTest, ValuesBeforeAnErrorStayInTheRecord) {
    TempDir dir;
    std::string path = dir.write("f", "[File]\nblack_ext = \"a\"\nmax_size = 5\nblack_name = oops\n");
    Filter f;
    filter_init(&f);
    EXPECT_EQ(parse(path.c_str(), &tw_filter_schema, &f), PARSE_ERROR);
    EXPECT_EQ(record_text(f), "v0.0 file.black_ext=[a] file.max_size=5");
    filter_destroy(&f);
}

TEST(FilterReadTest, UnreadableFilesAreRefused) {
    TempDir dir;
    Filter f;
    filter_init(&f);
    EXPECT_EQ(parse(dir.file("missing").c_str(), &tw_filter_schema, &f), PARSE_ERROR);
    // A folder opens but cannot be read: not an empty, valid file.
    EXPECT_EQ(parse(dir.path().c_str(), &tw_filter_schema, &f), PARSE_ERROR);
    EXPECT_EQ(filter_read(&f, dir.path().c_str()), -1);
    // A destroyed record can be read into again.
    std::string path = dir.write("f", "[File]\nblack_ext = \"a\", \"b\", \"c\", \"d\", \"e\"\n");
    EXPECT_EQ(filter_read(&f, path.c_str()), 0);
    EXPECT_EQ(record_text(f), "v0.0 file.black_ext=[a|b|c|d|e]");
    filter_destroy(&f);
}

TEST(ParserErrorNameTest, NamesEveryCode) {
    EXPECT_STREQ(parser_error_name(0), "NO_ERROR");
    EXPECT_STREQ(parser_error_name(-14), "VALUE_NUMERIC_ILLEGAL_SYNTAX");
    EXPECT_STREQ(parser_error_name(-26), "INTERNAL_ERROR");
    EXPECT_STREQ(parser_error_name(-27), "Unknown error");
    EXPECT_STREQ(parser_error_name(3), "Unknown error");
}

}  // namespace
