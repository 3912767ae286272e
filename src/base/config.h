// Reader of the key/value configuration file format: lines of
// `key = value`, with quoting and "#" comments.
#pragma once

#include <map>

#include "base/ustring.h"

class Config {
public:
    enum LineResult { OK = 0, EMPTY = 1, INVALID = 2 };

    // Fills `store` from the file at `path`: 0, or -1 when the path is empty,
    // the file cannot be opened, or a line is invalid (then `store` is empty).
    int read(const ustring& path);

    // The value of `key` read as a decimal integer (0 when it has no leading
    // digits); an absent key is inserted with an empty value.
    int get_int(const ustring& key);

    // Parses one line; on OK, `key` and `value` hold the pair.
    static LineResult parse_line(const char* line, ustring& key, ustring& value);

    // Reads `text` as a decimal integer by the get_int rules.
    static int parse_int(const char* text);

    std::map<ustring, ustring> store;
};
