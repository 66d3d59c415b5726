#include "pg_cluster.h"

#include <filesystem>
#include <dirent.h>
#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "orvex_test.h"

namespace orvex_test {

namespace {

std::string g_why;
std::unique_ptr<PgCluster> g_cluster;
bool g_tried = false;

// The newest installed server's bin folder ("" when none).
std::string server_bin() {
    glob_t g{};
    std::string out;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
        out = g.gl_pathv[g.gl_pathc - 1];
        out.erase(out.rfind('/'));
    }
    globfree(&g);
    return out;
}

}  // namespace

PgCluster* PgCluster::shared() {
    if (!g_tried) {
        g_tried = true;
        std::unique_ptr<PgCluster> c(new PgCluster);
        if (c->init(&g_why)) g_cluster = std::move(c);
        // Stopped and removed when the program ends, whatever the tests did.
        std::atexit([] { g_cluster.reset(); });
    }
    return g_cluster.get();
}

const std::string& PgCluster::why_not() { return g_why; }

bool PgCluster::init(std::string* why) {
    if (emulated()) {
        *why = "the line database's server does not run under the user-mode emulator";
        return false;
    }
    bin_ = server_bin();
    if (bin_.empty()) {
        *why = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb; packaging/build-deps.txt)";
        return false;
    }
    char tmpl[] = "/tmp/orvex-pg-XXXXXX";
    if (!mkdtemp(tmpl)) {
        *why = "cannot make a temporary folder";
        return false;
    }
    dir_ = tmpl;
    // initdb refuses root: the server is nobody's then.
    if (geteuid() == 0) {
        const passwd* pw = getpwnam("nobody");
        if (!pw || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            *why = "running as root and no user `nobody` to run the server as";
            return false;
        }
        as_ = "runuser -u nobody -- ";
    }
    user_ = "postgres";
    const std::string log = dir_ + "/init.log";
    if (run("'" + bin_ + "/initdb' -D '" + dir_ + "/data' -U " + user_ + " -A trust -E UTF8 --no-sync >'" + log +
            "' 2>&1") != 0) {
        std::ifstream f(log);
        *why = "initdb failed: " + std::string(std::istreambuf_iterator<char>(f), {});
        return false;
    }
    start();
    try {
        query(url("postgres"), "SELECT 1");
    } catch (const std::exception& e) {
        *why = std::string("the test server did not start: ") + e.what();
        return false;
    }
    return true;
}

int PgCluster::run(const std::string& command) const {
    const std::string cmd = as_ + "sh -c \"" + command + "\"";
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void PgCluster::start() {
    // Only the socket in the test's folder: nothing else on the machine
    // can reach it, and parallel test programs never share a port.
    run("'" + bin_ + "/pg_ctl' -D '" + dir_ + "/data' -l '" + dir_ +
        "/server.log' -w -o \\\"-c listen_addresses='' -k " + dir_ +
        " -c fsync=off -c max_connections=60\\\" start >/dev/null 2>&1");
}

void PgCluster::kill_server() {
    resume();
    run("'" + bin_ + "/pg_ctl' -D '" + dir_ + "/data' -m immediate -w stop >/dev/null 2>&1");
}

std::vector<int> PgCluster::server_pids() const {
    std::vector<int> out;
    std::ifstream f(dir_ + "/data/postmaster.pid");
    int postmaster = 0;
    if (!(f >> postmaster) || postmaster <= 0) return out;
    out.push_back(postmaster);
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        std::ifstream st(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(st, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == postmaster)
            out.push_back(pid);
    }
    if (d) closedir(d);
    return out;
}

void PgCluster::pause() {
    for (int pid : server_pids()) ::kill(pid, SIGSTOP);
}

void PgCluster::resume() {
    for (int pid : server_pids()) ::kill(pid, SIGCONT);
}

std::string PgCluster::url(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + dir_ + "&user=" + user_;
}

std::string PgCluster::new_database() {
    const std::string name = "line_" + std::to_string(getpid()) + "_" + std::to_string(++databases_);
    query(url("postgres"), "CREATE DATABASE " + name);
    return url(name);
}

std::vector<std::vector<std::string>> PgCluster::query(const std::string& url, const std::string& sql) {
    PGconn* c = PQconnectdb(url.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        std::string why = PQerrorMessage(c);
        PQfinish(c);
        throw std::runtime_error(why);
    }
    PGresult* r = PQexec(c, sql.c_str());
    const ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        std::string why = PQresultErrorMessage(r);
        PQclear(r);
        PQfinish(c);
        throw std::runtime_error(why + " (" + sql + ")");
    }
    std::vector<std::vector<std::string>> rows;
    for (int i = 0; i < PQntuples(r); ++i) {
        std::vector<std::string> row;
        for (int j = 0; j < PQnfields(r); ++j) row.push_back(PQgetisnull(r, i, j) ? "NULL" : PQgetvalue(r, i, j));
        rows.push_back(row);
    }
    PQclear(r);
    PQfinish(c);
    return rows;
}

PgCluster::~PgCluster() {
    if (dir_.empty()) return;
    if (!bin_.empty()) kill_server();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace orvex_test
