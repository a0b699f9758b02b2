#include "history/sqlite_db.h"

#include <sqlite3.h>

#include <utility>

namespace sentrel::history {

Statement::Statement(sqlite3* db, const char* sql) {
    error_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    if (error_ != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), error_(other.error_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        error_ = other.error_;
    }
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

int Statement::Step() {
    if (stmt_ == nullptr) {
        return error_ != 0 ? error_ : SQLITE_MISUSE;
    }
    return sqlite3_step(stmt_);
}

int Statement::Run() {
    int code = Step();
    while (code == SQLITE_ROW) {
        code = Step();
    }
    Reset();
    return code;
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string Statement::Text(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

Database::~Database() {
    Close();
}

int Database::Open(const std::string& path, bool readOnly, int busyMs) {
    Close();
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
        SQLITE_OPEN_NOMUTEX;
    const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (code != SQLITE_OK) {
        Close();
        return code;
    }
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_timeout(db_, busyMs);
    return SQLITE_OK;
}

void Database::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int Database::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

std::int64_t Database::QueryInt(const char* sql, std::int64_t fallback) {
    Statement s(db_, sql);
    return s.Step() == SQLITE_ROW ? s.Int(0) : fallback;
}

std::string Database::LastMessage() const {
    return db_ != nullptr ? sqlite3_errmsg(db_) : "not open";
}

bool IsCorruptCode(int code) {
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

}  // namespace sentrel::history
