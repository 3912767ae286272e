// Small owners for SQLite resources shared by the stores: a statement that is
// finalised when it goes out of scope and a formatted text released with
// sqlite3_free.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tw_store {

// A text built by sqlite3_mprintf and released with sqlite3_free.
class SqlText {
public:
    explicit SqlText(char* text) : text_(text) {}
    ~SqlText() { sqlite3_free(text_); }
    SqlText(const SqlText&) = delete;
    SqlText& operator=(const SqlText&) = delete;

    const char* get() const { return text_; }
    explicit operator bool() const { return text_ != nullptr; }

private:
    char* text_;
};

// One prepared statement; finalised on destruction.
class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // SQLITE_OK or SQLite's error code.
    int prepare(sqlite3* db, const char* sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    sqlite3_stmt* get() const { return stmt_; }
    void finalize() {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Resets a cached statement and clears its bindings when leaving a scope.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~StatementUse() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

private:
    sqlite3_stmt* stmt_;
};

// Binds a text parameter (copied by SQLite).
inline int bind_text(sqlite3_stmt* stmt, int index, const std::string& text) {
    return sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Binds an unsigned 64-bit number (stored as its two's-complement integer,
// read back exactly by column_u64).
inline int bind_u64(sqlite3_stmt* stmt, int index, uint64_t value) {
    return sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value));
}

// The text of a result column, "" for NULL.
inline const char* column_text(sqlite3_stmt* stmt, int col) {
    const unsigned char* text = sqlite3_column_text(stmt, col);
    return text ? reinterpret_cast<const char*>(text) : "";
}

// A column holding an unsigned 64-bit number, stored either as an integer or
// as decimal text (text keeps the full unsigned range).
uint64_t column_u64(sqlite3_stmt* stmt, int col);

// The first text that sorts after every text starting with `prefix` + "/":
// `prefix` + "0" ("0" is the byte after "/"). Together with `prefix` + "/"
// it bounds a byte-exact range of the paths below `prefix`.
inline std::string below_upper_bound(const std::string& prefix) {
    return prefix + "0";
}

}  // namespace tw_store
