#include "store/sqlite_util.h"

#include <cstdlib>

namespace tw_store {

uint64_t column_u64(sqlite3_stmt* stmt, int col) {
    switch (sqlite3_column_type(stmt, col)) {
        case SQLITE_INTEGER:
            return static_cast<uint64_t>(sqlite3_column_int64(stmt, col));
        case SQLITE_NULL:
            return 0;
        case SQLITE_FLOAT: {
            double d = sqlite3_column_double(stmt, col);
            if (d <= 0) return 0;
            if (d >= 18446744073709551615.0) return UINT64_MAX;
            return static_cast<uint64_t>(d);
        }
        default:
            break;
    }
    const char* text = column_text(stmt, col);
    return std::strtoull(text, nullptr, 10);
}

}  // namespace tw_store
