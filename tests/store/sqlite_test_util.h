// Helpers for the store tests: a direct connection to a database file, used
// to look at what a store wrote the way another program would.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace tidewell::testing {

class RawDb {
public:
    explicit RawDb(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~RawDb() { sqlite3_close(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    bool ok() const { return db_ != nullptr; }
    sqlite3* get() const { return db_; }

    // Every row of `sql` with its columns joined by "|" (NULL as "<null>").
    std::vector<std::string> rows(const std::string& sql) const {
        std::vector<std::string> out;
        sqlite3_stmt* stmt = nullptr;
        if (!db_ || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            out.push_back("<error: " + std::string(db_ ? sqlite3_errmsg(db_) : "no db") + ">");
            return out;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (i) row += "|";
                const unsigned char* text = sqlite3_column_text(stmt, i);
                row += text ? reinterpret_cast<const char*>(text) : "<null>";
            }
            out.push_back(row);
        }
        sqlite3_finalize(stmt);
        return out;
    }

    // The first column of the first row, or "" when there is none.
    std::string value(const std::string& sql) const {
        auto r = rows(sql);
        return r.empty() ? "" : r.front();
    }

    int exec(const std::string& sql) const { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace tidewell::testing
