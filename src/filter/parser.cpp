#include "filter/parser.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

enum expect_bits {
    EXPECT_SECTION = 1,
    EXPECT_KEY = 2,
    EXPECT_CONTINUATION = 4,
};

struct parser {
    void* result;
    const schema_parser* schema;
    char* section;  // the current section's record
    const schema_section* section_schema;
    char section_name[kParserNameMax + 1];
    void* key;  // the current key's member; null for an unknown key
    const schema_key* key_schema;
    char key_name[kParserNameMax + 1];
    int line_count;
    const char* pos;
    char line[kParserLineMax + 1];
    size_t line_len;
    int unknown_key_count;
    int next_expect;
    int error_code;
};

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '-' || c == '_';
}
bool is_control(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}
// End of the line's content: its end, or the start of a comment.
bool at_end(char c) {
    return c == '\0' || c == '#';
}

const char* skip_space(const char* p) {
    while (is_space(*p)) ++p;
    return p;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads one line of at most kParserLineMax bytes, its line feed included.
// false at the end of the file or on a read error.
bool read_line(parser& ps, FILE* fp) {
    size_t n = 0;
    while (n < static_cast<size_t>(kParserLineMax)) {
        int c = std::getc(fp);
        if (c == EOF) break;
        ps.line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    ps.line[n] = '\0';
    ps.line_len = n;
    return n > 0;
}

// The rest of the line holds only whitespace and perhaps a comment.
int expect_line_end(const char* p) {
    p = skip_space(p);
    return at_end(*p) ? PERR_NO_ERROR : PERR_LINE_NOT_ENDED;
}

int parse_section(parser& ps) {
    const char* p = ps.pos + 1;  // past "["
    if (at_end(*p)) return PERR_SECTION_MISSING_RIGHT_BRACKET;
    if (*p == ']') return PERR_SECTION_MISSING_SECTION;
    char name[kParserNameMax + 1];
    int len = 0;
    for (; *p != ']'; ++p) {
        if (at_end(*p)) return PERR_SECTION_MISSING_RIGHT_BRACKET;
        if (!is_name_char(*p)) return PERR_SECTION_ILLEGAL_CHARACTER;
        if (len == kParserNameMax) return PERR_SECTION_TOO_LONG;
        name[len++] = *p;
    }
    name[len] = '\0';
    int rc = expect_line_end(p + 1);
    if (rc != PERR_NO_ERROR) return rc;
    const schema_section* section = search_section_schema(name, ps.schema);
    if (!section) return PERR_SECTION_UNDEFINED_SECTION;
    std::memcpy(ps.section_name, name, static_cast<size_t>(len) + 1);
    ps.section_schema = section;
    ps.section = static_cast<char*>(ps.result) + section->offset;
    ps.key = nullptr;
    ps.key_schema = nullptr;
    ps.next_expect = EXPECT_SECTION | EXPECT_KEY;
    return PERR_NO_ERROR;
}

// Magnitude of a run of decimal digits, saturating at the largest value.
uint64_t digits_value(const char* begin, const char* end) {
    uint64_t v = 0;
    for (const char* p = begin; p < end; ++p) {
        uint64_t d = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

int parse_number(parser& ps, bool wide) {
    const char* start = ps.pos;
    const char* p = start;
    if (at_end(*p)) return PERR_VALUE_NUMERIC_MISSING_VALUE;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!is_digit(*p)) return PERR_VALUE_NUMERIC_MISSING_INTEGER_PART;
    const char* int_begin = p;
    if (*p == '0') {
        ++p;
    } else {
        while (is_digit(*p)) ++p;
    }
    const char* int_end = p;
    if (*p == '.') {
        ++p;
        if (!is_digit(*p)) return PERR_VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
        while (is_digit(*p)) ++p;
    }
    if (p - start > kParserNumberMax) return PERR_VALUE_TOO_LONG;
    if (!is_space(*p) && !at_end(*p)) return PERR_VALUE_NUMERIC_ILLEGAL_SYNTAX;
    int rc = expect_line_end(p);
    if (rc != PERR_NO_ERROR) return rc;
    if (!ps.key) return PERR_NO_ERROR;

    // The fractional part is accepted and dropped.
    uint64_t magnitude = digits_value(int_begin, int_end);
    if (wide) {
        // Read as unsigned, so that every value written in unsigned decimal
        // reads back to the same bits; a "-" negates modulo 2^64.
        uint64_t bits = negative ? 0 - magnitude : magnitude;
        int64_t value;
        std::memcpy(&value, &bits, sizeof value);
        std::memcpy(ps.key, &value, sizeof value);
    } else {
        int32_t value;
        if (negative) {
            value = magnitude > uint64_t{INT32_MAX} + 1 ? INT32_MIN
                                                        : static_cast<int32_t>(0 - static_cast<int64_t>(magnitude));
        } else {
            value = magnitude > uint64_t{INT32_MAX} ? INT32_MAX : static_cast<int32_t>(magnitude);
        }
        std::memcpy(ps.key, &value, sizeof value);
    }
    return PERR_NO_ERROR;
}

// Reads one quoted string at ps.pos into `out` (NUL-terminated, at most
// kParserStringMax bytes) and leaves ps.pos after it.
int parse_quoted(parser& ps, char* out) {
    const char* p = ps.pos;
    const char* line_end = ps.line + ps.line_len;
    if (*p != '"') return PERR_VALUE_STRING_MISSING_LEFT_QUOTE;
    ++p;
    size_t len = 0;
    for (;;) {
        char c = *p;
        if (c == '"') {
            ++p;
            break;
        }
        // The last line of a file may end inside the string: it ends there.
        if (c == '\0' && p == line_end) break;
        if (c == '\n') return PERR_VALUE_STRING_MISSING_RIGHT_QUOTE;
        if (is_control(c)) return PERR_VALUE_STRING_ILLEGAL_CHARACTER;
        unsigned char byte;
        if (c == '\\') {
            char e = p[1];
            p += 2;
            switch (e) {
                case 'a':
                    byte = '\a';
                    break;
                case 'b':
                    byte = '\b';
                    break;
                case 'f':
                    byte = '\f';
                    break;
                case 'n':
                    byte = '\n';
                    break;
                case 'r':
                    byte = '\r';
                    break;
                case 't':
                    byte = '\t';
                    break;
                case 'v':
                    byte = '\v';
                    break;
                case '\'':
                case '"':
                case '\\':
                case '?':
                    byte = static_cast<unsigned char>(e);
                    break;
                case 'x': {
                    int hi = hex_value(p[0]);
                    int lo = hi < 0 ? -1 : hex_value(p[1]);
                    if (hi < 0 || lo < 0) return PERR_VALUE_STRING_ILLEGAL_CHARACTER;
                    // A NUL byte would silently cut the string short.
                    if (hi == 0 && lo == 0) return PERR_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE;
                    byte = static_cast<unsigned char>(hi * 16 + lo);
                    p += 2;
                    break;
                }
                case '0':
                case '1':
                case '2':
                case '3': {
                    if (p[0] < '0' || p[0] > '7' || p[1] < '0' || p[1] > '7') {
                        return PERR_VALUE_STRING_ILLEGAL_CHARACTER;
                    }
                    int v = (e - '0') * 64 + (p[0] - '0') * 8 + (p[1] - '0');
                    if (v == 0) return PERR_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE;
                    byte = static_cast<unsigned char>(v);
                    p += 2;
                    break;
                }
                default:
                    return PERR_VALUE_STRING_ILLEGAL_CHARACTER;
            }
        } else {
            byte = static_cast<unsigned char>(c);
            ++p;
        }
        if (len == static_cast<size_t>(kParserStringMax)) return PERR_VALUE_TOO_LONG;
        out[len++] = static_cast<char>(byte);
    }
    out[len] = '\0';
    ps.pos = p;
    if (len == 0) return PERR_VALUE_STRING_EMPTY;
    return PERR_NO_ERROR;
}

int parse_string(parser& ps) {
    char text[kParserStringMax + 1];
    int rc = parse_quoted(ps, text);
    if (rc != PERR_NO_ERROR) return rc;
    if (ps.key && vt_string_assign(static_cast<value_type_string*>(ps.key), text) != 0) return PERR_INTERNAL_ERROR;
    return expect_line_end(ps.pos);
}

int parse_string_set(parser& ps) {
    char text[kParserStringMax + 1];
    for (;;) {
        int rc = parse_quoted(ps, text);
        if (rc != PERR_NO_ERROR) return rc;
        if (ps.key && vt_string_set_insert(static_cast<value_type_string_set*>(ps.key), text) != 0) {
            return PERR_INTERNAL_ERROR;
        }
        const char* p = skip_space(ps.pos);
        if (at_end(*p)) {
            ps.next_expect = EXPECT_SECTION | EXPECT_KEY;
            return PERR_NO_ERROR;
        }
        if (*p != ',') return PERR_VALUE_SET_MISSING_SEPARATER;
        p = skip_space(p + 1);
        if (*p == '\0') {
            // A trailing comma: the set goes on with the next line.
            ps.next_expect = EXPECT_CONTINUATION;
            return PERR_NO_ERROR;
        }
        ps.pos = p;
    }
}

int parse_value(parser& ps) {
    switch (ps.key_schema->value_type) {
        case integer32_type:
            return parse_number(ps, false);
        case integer64_type:
            return parse_number(ps, true);
        case string_type:
            return parse_string(ps);
        case string_set_type:
            return parse_string_set(ps);
    }
    return PERR_INTERNAL_ERROR;
}

int parse_key_line(parser& ps) {
    const char* p = ps.pos;
    char name[kParserNameMax + 1];
    int len = 0;
    for (; is_name_char(*p); ++p) {
        if (len == kParserNameMax) return PERR_KEY_TOO_LONG;
        name[len++] = *p;
    }
    if (len == 0) return PERR_KEY_MISSING_KEY;
    name[len] = '\0';
    std::memcpy(ps.key_name, name, static_cast<size_t>(len) + 1);
    ps.key_schema = search_key_schema(name, ps.section_schema);
    ps.key = ps.key_schema ? ps.section + ps.key_schema->offset : nullptr;
    if (!ps.key_schema) {
        std::printf("warning: unknown key (%s)\n", name);
        ++ps.unknown_key_count;
    }
    p = skip_space(p);
    if (*p != '=') return PERR_KEY_ILLEGAL_CHARACTER;
    ps.pos = skip_space(p + 1);
    ps.next_expect = EXPECT_SECTION | EXPECT_KEY;
    if (!ps.key_schema) return PERR_NO_ERROR;  // the rest of the line is skipped
    return parse_value(ps);
}

}  // namespace

const char* parser_error_name(int code) {
    static const char* const names[] = {
        "NO_ERROR",
        "SECTION_MISSING_LEFT_BRACKET",
        "SECTION_MISSING_RIGHT_BRACKET",
        "SECTION_MISSING_SECTION",
        "SECTION_ILLEGAL_CHARACTER",
        "SECTION_TOO_LONG",
        "SECTION_UNDEFINED_SECTION",
        "KEY_MISSING_KEY",
        "KEY_ILLEGAL_CHARACTER",
        "KEY_TOO_LONG",
        "KEY_UNDEFINED_KEY",
        "VALUE_NUMERIC_MISSING_INTEGER_PART",
        "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
        "VALUE_NUMERIC_MISSING_VALUE",
        "VALUE_NUMERIC_ILLEGAL_SYNTAX",
        "VALUE_STRING_MISSING_LEFT_QUOTE",
        "VALUE_STRING_MISSING_RIGHT_QUOTE",
        "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
        "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
        "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
        "VALUE_STRING_ILLEGAL_CHARACTER",
        "VALUE_STRING_EMPTY",
        "VALUE_SET_MISSING_SEPARATER",
        "VALUE_TOO_LONG",
        "LINE_NOT_ENDED",
        "LINE_NOT_EXPECTED",
        "INTERNAL_ERROR",
    };
    if (code > 0 || code < PERR_INTERNAL_ERROR) return "Unknown error";
    return names[-code];
}

parse_result parse(const char* fname, const schema_parser* schema, void* result, parse_status* status) {
    if (status) *status = parse_status{0, 0, 0};
    if (!fname || !schema || !result) return PARSE_ERROR;
    FILE* fp = std::fopen(fname, "r");
    if (!fp) return PARSE_ERROR;

    parser ps{};
    ps.result = result;
    ps.schema = schema;
    ps.next_expect = EXPECT_SECTION;
    while (ps.error_code == PERR_NO_ERROR && read_line(ps, fp)) {
        ++ps.line_count;
        ps.pos = skip_space(ps.line);
        if (at_end(*ps.pos)) continue;
        if ((ps.next_expect & EXPECT_SECTION) && *ps.pos == '[') {
            ps.error_code = parse_section(ps);
        } else if ((ps.next_expect & EXPECT_CONTINUATION) && *ps.pos == '"') {
            ps.error_code = ps.key_schema ? parse_value(ps) : PERR_INTERNAL_ERROR;
        } else if (ps.next_expect & EXPECT_KEY) {
            ps.error_code = parse_key_line(ps);
        } else {
            ps.error_code = PERR_LINE_NOT_EXPECTED;
        }
    }
    // A read error (a folder given as the file, say) is no clean end of file.
    bool read_failed = std::ferror(fp) != 0;
    std::fclose(fp);

    if (status) *status = parse_status{ps.error_code, ps.line_count, ps.unknown_key_count};
    if (ps.error_code != PERR_NO_ERROR) {
        std::fprintf(stderr, "parser: %s at line %d\n", parser_error_name(ps.error_code), ps.line_count);
        return PARSE_ERROR;
    }
    if (read_failed) return PARSE_ERROR;
    return ps.unknown_key_count > 0 ? PARSE_PARTIAL : PARSE_DONE;
}
