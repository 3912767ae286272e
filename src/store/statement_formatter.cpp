// The "@CORV:" statement formatter declared in store/file_status_db.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "store/file_status_db.h"

namespace {

void append_quoted(std::string& out, const char* text, bool like_escape) {
    if (!text) return;
    for (const char* p = text; *p; ++p) {
        char c = *p;
        if (c == '\'') {
            out += "''";
        } else if (like_escape && (c == '\\' || c == '%' || c == '_')) {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
}

bool starts_with(const char* p, const char* prefix) {
    return std::strncmp(p, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

char* SQLITEEscapeStringEX3(const char* format, va_list args) {
    if (!format) return nullptr;
    try {
        std::string out;
        out.reserve(4096);
        bool escape_pending = false;
        bool seen_quote = false;
        for (const char* p = format; *p;) {
            if (*p == '@') {
                if (starts_with(p, "@CORV:VAR")) {
                    append_quoted(out, va_arg(args, const char*), false);
                    p += std::strlen("@CORV:VAR");
                    continue;
                }
                if (starts_with(p, "@CORV:LVAR")) {
                    append_quoted(out, va_arg(args, const char*), true);
                    escape_pending = true;
                    p += std::strlen("@CORV:LVAR");
                    continue;
                }
                if (starts_with(p, "@CORV:INT")) {
                    out += std::to_string(va_arg(args, int));
                    p += std::strlen("@CORV:INT");
                    continue;
                }
                if (starts_with(p, "@CORV:LLINT")) {
                    out += std::to_string(va_arg(args, long long));
                    p += std::strlen("@CORV:LLINT");
                    continue;
                }
                if (starts_with(p, "@CORV:NEVAR")) {
                    const char* text = va_arg(args, const char*);
                    if (text) out += text;
                    p += std::strlen("@CORV:NEVAR");
                    continue;
                }
            }
            out += *p;
            if (*p == '\'') {
                if (escape_pending && seen_quote) out += " escape '\\'";
                escape_pending = false;
                seen_quote = true;
            }
            ++p;
        }
        char* result = static_cast<char*>(std::malloc(out.size() + 1));
        if (!result) return nullptr;
        std::memcpy(result, out.c_str(), out.size() + 1);
        return result;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

char* CORVDBEscapeStringEX3(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* result = SQLITEEscapeStringEX3(format, args);
    va_end(args);
    return result;
}
