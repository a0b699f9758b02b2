// A thin owner of one SQLite connection and its prepared statements. Errors are
// kept as SQLite result codes; nothing here throws.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace sentrel::history {

class Statement {
  public:
    Statement() = default;
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    int error() const { return error_; }
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, const std::string& text);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    // Step to the end; the last code (SQLITE_DONE when all went well).
    int Run();
    void Reset();
    std::int64_t Int(int column) const;
    std::string Text(int column) const;

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int error_ = 0;
};

class Database {
  public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (readOnly) or opens and creates the file. Returns the SQLite code.
    int Open(const std::string& path, bool readOnly, int busyMs);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    sqlite3* Handle() const { return db_; }
    // Runs statements without results; returns the SQLite code.
    int Exec(const char* sql);
    // The first column of the first row of a query, or `fallback`.
    std::int64_t QueryInt(const char* sql, std::int64_t fallback);
    std::string LastMessage() const;

  private:
    sqlite3* db_ = nullptr;
};

// True for the codes that say the file is not a usable database.
bool IsCorruptCode(int code);

}  // namespace sentrel::history
