#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/catalog/BackupCatalog.h"
#include "platform/Error.h"

namespace tvr::test_support {

// Runs `call` and checks that it throws tvr::Error with this domain, code and message.
template <class Call>
void expectError(Call&& call, const std::string& message, const std::string& domain = kBackupCatalogErrorDomain,
                 long code = 1) {
  try {
    call();
    ADD_FAILURE() << "expected the error \"" << message << "\"";
  } catch (const Error& error) {
    EXPECT_EQ(error.domain(), domain);
    EXPECT_EQ(error.code(), code);
    EXPECT_EQ(error.message(), message);
  }
}

// A second, independent connection to a catalog file for checking and tampering.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
    }
  }
  ~RawDatabase() { sqlite3_close(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  // Every row of the query, columns joined by "|" (NULL as "NULL").
  std::vector<std::string> rows(const std::string& sql) {
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
  std::string value(const std::string& sql) {
    std::vector<std::string> all = rows(sql);
    return all.empty() ? std::string("<no row>") : all.front();
  }
  // Returns the SQLite error message, or "" on success.
  std::string exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return {};
    std::string text = message ? message : "error";
    sqlite3_free(message);
    return text;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace tvr::test_support

namespace tvr {
// Readable failure output for snapshot records.
inline void PrintTo(const SnapshotEntry& e, std::ostream* os) {
  auto opt = [](const auto& v) {
    std::ostringstream s;
    if (v)
      s << *v;
    else
      s << "-";
    return s.str();
  };
  *os << "{" << e.id << " name=" << e.name << " relPath=" << e.relPath << " norm=" << e.relPathNorm
      << " kind=" << snapshotKindName(e.kind) << " size=" << opt(e.sizeBytes) << " created=" << opt(e.createdAt)
      << " modified=" << opt(e.modifiedAt) << " blob=" << opt(e.blobKey) << "}";
}
}  // namespace tvr
