// Reading an archive file the way an auditor would: plain SQL, every column
// as text, beside the library rather than through it.
#ifndef ORVEX_TESTS_SQLITE_ROWS_H
#define ORVEX_TESTS_SQLITE_ROWS_H
#include <string>
#include <vector>

namespace orvex_test {

// Rows of SQL run on the SQLite FILE, every column as text ("NULL" for
// NULL); a file or statement that does not open fails the test. Waits up to
// 10 s for a writer that holds the file.
std::vector<std::vector<std::string>> sqlite_rows(const std::string& file, const std::string& sql);

}  // namespace orvex_test
#endif
