#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct sqlite3;

namespace tvr::test {

// A second, independent SQLite connection to a catalog file, for checking and tampering
// with it behind the engine's back. A file that cannot be opened fails the test. Not
// copyable; not thread-safe.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& path);
  ~RawDatabase();
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  // Every row of the query, columns joined by "|" (NULL as "NULL"); a failing query fails
  // the test and gives no rows.
  std::vector<std::string> rows(const std::string& sql);
  // The first row of the query, or "<no row>".
  std::string value(const std::string& sql);
  // Runs the statements; returns the SQLite error message, or "" on success.
  std::string exec(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};

// Runs the statements on the database file; a failure fails the test with SQLite's message.
void execSQL(const std::filesystem::path& database, const std::string& sql);

}  // namespace tvr::test
