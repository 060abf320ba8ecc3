#include "tests/support/RawDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace tvr::test {

RawDatabase::RawDatabase(const std::filesystem::path& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path;
  }
}

RawDatabase::~RawDatabase() { sqlite3_close(db_); }

std::vector<std::string> RawDatabase::rows(const std::string& sql) {
  std::vector<std::string> out;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    return out;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      if (i > 0) row += "|";
      const unsigned char* text = sqlite3_column_text(statement, i);
      row += text ? reinterpret_cast<const char*>(text) : "NULL";
    }
    out.push_back(row);
  }
  sqlite3_finalize(statement);
  return out;
}

std::string RawDatabase::value(const std::string& sql) {
  std::vector<std::string> all = rows(sql);
  return all.empty() ? std::string("<no row>") : all.front();
}

std::string RawDatabase::exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return {};
  std::string text = message ? message : "error";
  sqlite3_free(message);
  return text;
}

void execSQL(const std::filesystem::path& database, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(database.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << database;
    return;
  }
  char* message = nullptr;
  int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  std::string error = message ? message : "";
  sqlite3_free(message);
  sqlite3_close(db);
  EXPECT_EQ(status, SQLITE_OK) << error;
}

}  // namespace tvr::test
