// The schema-driven reader of filter files: an INI-like text of "[Section]"
// headers and "key = value" lines with typed values (numbers, quoted strings
// and comma-separated sets of quoted strings), read into a plain record whose
// layout a schema table describes.
#pragma once

#include "filter/schema.h"

enum parse_result {
    PARSE_DONE = 0,     // read cleanly
    PARSE_PARTIAL = 1,  // read, but unknown keys were met
    PARSE_ERROR = 2,    // the file could not be read, or a syntax error
};

// Error codes of the parser; parser_error_name gives the text the error
// report prints.
enum parser_error {
    PERR_NO_ERROR = 0,
    PERR_SECTION_MISSING_LEFT_BRACKET = -1,
    PERR_SECTION_MISSING_RIGHT_BRACKET = -2,
    PERR_SECTION_MISSING_SECTION = -3,
    PERR_SECTION_ILLEGAL_CHARACTER = -4,
    PERR_SECTION_TOO_LONG = -5,
    PERR_SECTION_UNDEFINED_SECTION = -6,
    PERR_KEY_MISSING_KEY = -7,
    PERR_KEY_ILLEGAL_CHARACTER = -8,
    PERR_KEY_TOO_LONG = -9,
    PERR_KEY_UNDEFINED_KEY = -10,
    PERR_VALUE_NUMERIC_MISSING_INTEGER_PART = -11,
    PERR_VALUE_NUMERIC_MISSING_FRACTIONAL_PART = -12,
    PERR_VALUE_NUMERIC_MISSING_VALUE = -13,
    PERR_VALUE_NUMERIC_ILLEGAL_SYNTAX = -14,
    PERR_VALUE_STRING_MISSING_LEFT_QUOTE = -15,
    PERR_VALUE_STRING_MISSING_RIGHT_QUOTE = -16,
    PERR_VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = -17,
    PERR_VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = -18,
    PERR_VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = -19,
    PERR_VALUE_STRING_ILLEGAL_CHARACTER = -20,
    PERR_VALUE_STRING_EMPTY = -21,
    PERR_VALUE_SET_MISSING_SEPARATER = -22,
    PERR_VALUE_TOO_LONG = -23,
    PERR_LINE_NOT_ENDED = -24,
    PERR_LINE_NOT_EXPECTED = -25,
    PERR_INTERNAL_ERROR = -26,
};

// Longest physical line one read takes; a longer line is continued by the
// next read as if it were a new line.
constexpr int kParserLineMax = 1024;
// Longest section or key name.
constexpr int kParserNameMax = 32;
// Longest string value after unescaping, and longest number text.
constexpr int kParserStringMax = 512;
constexpr int kParserNumberMax = 511;

// "NO_ERROR", "SECTION_MISSING_LEFT_BRACKET", ...; "Unknown error" for a code
// outside the table.
const char* parser_error_name(int code);

// What a parse met, for callers that report more than the result.
struct parse_status {
    int error_code;         // a parser_error; 0 without error
    int line;               // the line of the error (reads counted from 1)
    int unknown_key_count;  // unknown keys skipped
};

// Reads the file `fname` into `result`, a record laid out as `schema`
// describes. Values read before an error stay in `result`. On a syntax error
// the message "parser: <name> at line <n>" goes to standard error. A file
// that cannot be opened or read gives PARSE_ERROR without a message.
parse_result parse(const char* fname, const schema_parser* schema, void* result, parse_status* status = nullptr);
