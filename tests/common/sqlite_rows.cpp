#include "sqlite_rows.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace orvex_test {

std::vector<std::vector<std::string>> sqlite_rows(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << file;
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db) << ": " << sql;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> r;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
            r.push_back(t ? t : "NULL");
        }
        rows.push_back(r);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

}  // namespace orvex_test
