#include "base/ustring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Ustring, LengthsAreUtf8Bytes) {
    ustring e_acute("\xC3\xA9");
    EXPECT_EQ(e_acute.length(), 2u);
    EXPECT_EQ(e_acute.size(), 2u);
    EXPECT_EQ(std::u16string(e_acute.c_str_utf16()), u"\u00E9");
    EXPECT_TRUE(ustring().empty());
    EXPECT_STREQ(ustring().c_str(), "");
    EXPECT_EQ(ustring().c_str_utf16()[0], 0);
}

TEST(Ustring, ConstructionKinds) {
    EXPECT_EQ(ustring(u"d\u00E9f"), ustring("d\xC3\xA9"
                                            "f"));
    EXPECT_EQ(ustring(std::string("abc")), ustring("abc"));
    EXPECT_EQ(ustring('x'), ustring("x"));
    EXPECT_EQ(ustring("abcdef", 3), ustring("abc"));
    ustring original("copy me");
    original.c_str_utf16();
    ustring copy(original);
    EXPECT_EQ(copy, original);
    ustring moved(std::move(copy));
    EXPECT_EQ(moved, original);
    EXPECT_TRUE(copy.empty());  // NOLINT: moved-from strings are valid and empty
}

TEST(Ustring, ReplaceDiscardsTheUtf16Cache) {
    ustring path("a/b");
    EXPECT_EQ(std::u16string(path.c_str_utf16()), u"a/b");
    path.replace('/', '\\');
    EXPECT_STREQ(path.c_str(), "a\\b");
    EXPECT_EQ(std::u16string(path.c_str_utf16()), u"a\\b");
}

TEST(Ustring, AppendUtf16ToUtf8Content) {
    ustring s("abc");
    s.append(u"def");
    EXPECT_EQ(s, "abcdef");
    s += u"\u00E9";
    EXPECT_EQ(s, "abcdef\xC3\xA9");
    EXPECT_EQ(s.length(), 8u);
    ustring t("x");
    t.append(u"yz-ignored", 2);
    EXPECT_EQ(t, "xyz");
}

TEST(Ustring, SelfAssignAndSelfAppend) {
    ustring s("hello");
    s.append(s);
    EXPECT_EQ(s, "hellohello");
    s.assign(s.c_str() + 5);
    EXPECT_EQ(s, "hello");
    s = s;
    EXPECT_EQ(s, "hello");
    s.append(s.c_str() + 1, 2);
    EXPECT_EQ(s, "helloel");
}

TEST(Ustring, OperatorPlusKinds) {
    ustring a("ab");
    EXPECT_EQ(a + "cd", "abcd");
    EXPECT_EQ("cd" + a, "cdab");
    EXPECT_EQ(a + ustring("x"), "abx");
    EXPECT_EQ(a + std::string("yz"), "abyz");
    EXPECT_EQ(a + u"\u00E9", "ab\xC3\xA9");
    EXPECT_EQ(a + '/', "ab/");
    ustring n;
    n.assign(3, '-');
    EXPECT_EQ(n, "---");
    n.append(2, '+');
    EXPECT_EQ(n, "---++");
}

TEST(Ustring, Substr) {
    ustring s("abc");
    EXPECT_EQ(s.substr(1), "bc");
    EXPECT_EQ(s.substr(1, 1), "b");
    EXPECT_EQ(s.substr(0, ustring::npos), "abc");
    EXPECT_TRUE(s.substr(3).empty());
    EXPECT_THROW(s.substr(4), std::out_of_range);
    try {
        s.substr(4);
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "substr");
    }
    ustring t;
    EXPECT_THROW(t.assign(s, 5, 1), std::out_of_range);
    t.assign(s, 1, 10);
    EXPECT_EQ(t, "bc");
}

TEST(Ustring, OrderingIsUnsignedBytes) {
    EXPECT_LT(ustring("Zed"), ustring("_x"));
    EXPECT_LT(ustring("_x"), ustring("abc"));
    EXPECT_LT(ustring("ABD"), ustring("abc"));
    EXPECT_LT(ustring("ab"), ustring("abc"));
    EXPECT_LT(ustring("z"), ustring("\xC3\xA9"));  // bytes above 127 sort last
    std::map<ustring, int> m{{"abc", 1}, {"_x", 2}, {"Zed", 3}};
    std::vector<ustring> keys;
    for (auto& [k, v] : m) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<ustring>{"Zed", "_x", "abc"}));
}

TEST(Ustring, CompareValues) {
    struct Case {
        const char* a;
        const char* b;
        bool caseless;
        int sign;
    } cases[] = {
        {"abc", "ABD", true, -1}, {"abc", "ABD", false, 1}, {"ABC", "abc", true, 0},
        {"abc", "abc", false, 0}, {"ab", "abc", false, -1}, {"\xC3\xA9", "\xC3\x89", true, 1},
        {"", "", true, 0},        {"[", "a", true, -1},     {"_", "A", true, -1},
    };
    for (const auto& c : cases) {
        int r = ustring::compare(c.a, c.b, c.caseless);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b << " caseless=" << c.caseless;
    }
    EXPECT_EQ(ustring::compare("b", "a", false), 1);
    EXPECT_EQ(ustring("abc").compare("abd", 2), 0);
    EXPECT_LT(ustring("abc").compare("abd", 3), 0);
    EXPECT_EQ(ustring("abc").compare("xyz", 0), 0);
    EXPECT_EQ(ustring::str_case_cmp("HeLLo", "hello"), 0);
}

TEST(Ustring, FindFamily) {
    ustring s("abcabc");
    struct Case {
        const char* what;
        size_t got;
        size_t want;
    } cases[] = {
        {"find c", s.find("c"), 2},
        {"find c from 3", s.find("c", 3), 5},
        {"find missing", s.find("x"), ustring::npos},
        {"find char", s.find('b', 2), 4},
        {"rfind", s.rfind("bc"), 4},
        {"rfind from 3", s.rfind("bc", 3), 1},
        {"rfind from 0", s.rfind("a", 0), 0},
        {"rfind missing", s.rfind("x"), ustring::npos},
        {"rfind too long", s.rfind("abcabcabc"), ustring::npos},
        {"first_of", s.find_first_of("cb"), 1},
        {"first_of from", s.find_first_of("a", 1), 3},
        {"first_not_of", s.find_first_not_of("ab"), 2},
        {"first_not_of all", s.find_first_not_of("abc"), ustring::npos},
        {"last_of", s.find_last_of("ab"), 4},
        {"last_of from", s.find_last_of("c", 4), 2},
        {"last_not_of", s.find_last_not_of("c"), 4},
        {"last_not_of beyond end", s.find_last_not_of("x", 100), 5},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(Ustring, FindEdgeCases) {
    ustring s("abc");
    EXPECT_EQ(s.find("", 1), 1u);
    EXPECT_EQ(s.find("", 3), ustring::npos);
    EXPECT_EQ(s.find("a", 3), ustring::npos);
    EXPECT_EQ(s.rfind(""), 2u);
    EXPECT_EQ(s.rfind("", 1), 1u);
    EXPECT_EQ(s.find('\0', 1), 1u);
    EXPECT_EQ(s.find_first_of(""), ustring::npos);
    EXPECT_EQ(s.find_last_of(""), ustring::npos);
    EXPECT_EQ(s.find_first_not_of("", 2), 2u);
    EXPECT_EQ(s.find_last_not_of(""), 2u);
    EXPECT_EQ(s.find_first_of('\0'), ustring::npos);
    EXPECT_EQ(ustring().rfind("a"), ustring::npos);
    EXPECT_EQ(ustring().find_last_not_of("a"), ustring::npos);
}

TEST(Ustring, Trim) {
    ustring s("a b \t");
    s.rtrim(" \t");
    EXPECT_EQ(s, "a b");
    ustring t("  x  ");
    t.trim("");
    EXPECT_EQ(t, "  x  ");
    t.trim(" ");
    EXPECT_EQ(t, "x");
    ustring u("//a//");
    u.ltrim(ustring("/"));
    EXPECT_EQ(u, "a//");
    ustring all("   ");
    all.trim(" ");
    EXPECT_TRUE(all.empty());
}

TEST(Ustring, InvalidUtf8IsKeptAndDetected) {
    ustring bad("\xC3\x28");
    EXPECT_FALSE(ustring::is_valid(bad));
    EXPECT_EQ(bad.length(), 2u);
    EXPECT_STREQ(bad.c_str(), "\xC3\x28");
    testing::internal::CaptureStderr();
    EXPECT_EQ(bad.c_str_utf16()[0], 0);
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(warning.rfind("Warning: u_strFromUTF8: error code ", 0), 0u) << warning;
    EXPECT_TRUE(ustring::is_valid(ustring()));
    EXPECT_TRUE(ustring::is_valid(ustring("plain \xE2\x82\xAC")));

    // Appending UTF-16 text to bytes that have no UTF-16 form keeps the bytes.
    testing::internal::CaptureStderr();
    bad.append(u"x");
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(bad.c_str(), "\xC3\x28x");
}

TEST(Ustring, Normalisation) {
    ustring composed("\xC3\xA9");     // U+00E9
    ustring decomposed("e\xCC\x81");  // e + U+0301
    EXPECT_EQ(composed.normalize(ustring::NFD), decomposed);
    EXPECT_EQ(decomposed.normalize(ustring::NFC), composed);
    EXPECT_EQ(composed.normalize(ustring::NFC), composed);
    EXPECT_EQ(ustring("plain").normalize(ustring::NFD), "plain");
    EXPECT_TRUE(ustring().normalize(ustring::NFC).empty());
    EXPECT_NE(composed, decomposed);
}

TEST(Ustring, ClearSwapAndStream) {
    ustring a("one");
    ustring b("two");
    a.c_str_utf16();
    a.swap(b);
    EXPECT_EQ(a, "two");
    EXPECT_EQ(std::u16string(b.c_str_utf16()), u"one");
    a.clear();
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.c_str_utf16()[0], 0);
    std::ostringstream out;
    out << ustring("d\xC3\xA9j\xC3\xA0");
    EXPECT_EQ(out.str(), "d\xC3\xA9j\xC3\xA0");
}

TEST(Ustring, EmbeddedZeroEndsTheText) {
    std::string with_zero("ab\0cd", 5);
    EXPECT_EQ(ustring(with_zero), "ab");
    ustring s("a/b");
    s.replace('/', '\0');
    EXPECT_EQ(s, "a");
    EXPECT_EQ(s.length(), 1u);
}

TEST(Ustring, ConstReadsOfOneStringFromSeveralThreadsAtOnce) {
    // A string shared read-only: its UTF-16 form and its normal forms are
    // reads, whichever thread asks first and however many ask at once.
    constexpr int kThreads = 4;
    for (int round = 0; round < 100; ++round) {
        const std::string digits = std::to_string(round);
        const ustring shared("d\xC3\xA9j\xC3\xA0 vu " + digits);
        const std::u16string expected = u"d\u00E9j\u00E0 vu " + std::u16string(digits.begin(), digits.end());
        std::atomic<int> ready{0};
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
                if (std::u16string(shared.c_str_utf16()) != expected) wrong.fetch_add(1);
                if (shared.normalize(ustring::NFD).normalize(ustring::NFC) != shared) wrong.fetch_add(1);
                if (std::u16string(shared.c_str_utf16()) != expected) wrong.fetch_add(1);
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(wrong.load(), 0) << "round " << round;
    }
}

TEST(Ustring, LongStringsGrowAndShrink) {
    std::string big(100000, 'x');
    ustring s(big);
    EXPECT_EQ(s.length(), big.size());
    EXPECT_EQ(std::u16string(s.c_str_utf16()).size(), big.size());
    s.assign("small");
    EXPECT_EQ(s, "small");
    EXPECT_EQ(std::u16string(s.c_str_utf16()), u"small");
}

}  // namespace
