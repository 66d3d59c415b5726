// A throwaway PostgreSQL server for the line-database tests: initdb in a
// fresh temporary folder, listening on a Unix socket there only, one per
// test program and a fresh database per test. initdb refuses root, so the
// server runs as `nobody` when the tests do (CI runs them as root).
#ifndef ORVEX_TEST_PG_CLUSTER_H
#define ORVEX_TEST_PG_CLUSTER_H

#include <string>
#include <vector>

namespace orvex_test {

class PgCluster {
public:
    // The program's server, started at the first call; nullptr when it
    // cannot be (why_not() says why: no server installed, the emulator).
    static PgCluster* shared();
    static const std::string& why_not();

    // A new empty database; its URL.
    std::string new_database();
    std::string url(const std::string& database) const;
    // The server killed (no shutdown) and started again on the same data;
    // stopped and resumed with SIGSTOP/SIGCONT, backends included.
    void kill_server();
    void start();
    void pause();
    void resume();

    // Rows of a statement as text ("NULL" for NULL); throws
    // std::runtime_error with the server's message.
    static std::vector<std::vector<std::string>> query(const std::string& url, const std::string& sql);

    ~PgCluster();

private:
    PgCluster() = default;
    bool init(std::string* why);
    int run(const std::string& command) const;  // as the server's user
    std::vector<int> server_pids() const;
    std::string bin_, dir_, user_, as_;
    int databases_ = 0;
};

}  // namespace orvex_test

#endif
