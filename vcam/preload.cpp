// Set-up when the library is loaded into a program: as LD_PRELOAD under
// the launcher, or linked into a program that sets the environment itself
// before it starts.
//
// ORVEX_VCAM_SOCKET names a device process: the program's cameras are the
// ones it serves, shared with every other program connected to it.
// The device's identity tree (identity_tree.h) is then laid over the
// paths where a tool reads a camera's identity.
// Otherwise ORVEX_VCAM describes cameras attached in this process alone
// (env_config.cpp); their flash images are then saved at exit and, when the
// program has not taken these signals for itself, on SIGINT, SIGTERM and
// SIGHUP. Their identity tree is then the program's own, written to a
// temporary directory when the program first reads an identity and removed
// at exit or on those signals.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <dirent.h>
#include <unistd.h>

#include "device_client.h"
#include "device_protocol.h"
#include "env_config.h"
#include "identity_tree.h"
#include "internal.h"

namespace vcam {
namespace {

// The in-process cameras' identity tree and the process that made it (a
// forked child shares it and must not remove it). Plain storage: the
// removal runs at exit, after static objects may have been destroyed.
char g_own_tree[PATH_MAX];
pid_t g_tree_owner = -1;

void remove_own_tree() {
    if (g_own_tree[0] && getpid() == g_tree_owner) remove_identity_tree(g_own_tree);
}

std::string make_own_identity_tree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvex-vcam-ids.XXXXXX";
    if (!mkdtemp(tmpl.data())) return "";  // identities unserved, cameras still work
    std::string error;
    if (!write_identity_tree(tmpl, &error)) {
        std::fprintf(stderr, "orvex-vcam: %s\n", error.c_str());
        remove_identity_tree(tmpl);
        return "";
    }
    std::snprintf(g_own_tree, sizeof g_own_tree, "%s", tmpl.c_str());
    g_tree_owner = getpid();
    std::atexit(remove_own_tree);
    return tmpl;
}

// The camera lock's folder (base/internal/node_lock.h) is the virtual
// camera's own: a session's programs meet each other's locks there, never
// a real camera's nor another session's. The shared device's is beside its
// identity tree; in-process cameras are the process's own, and so is the
// folder, removed at exit like the tree.
char g_own_locks[PATH_MAX];
pid_t g_locks_owner = -1;

void remove_own_locks() {
    if (!g_own_locks[0] || getpid() != g_locks_owner) return;
    if (DIR* d = opendir(g_own_locks)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((std::string(g_own_locks) + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(g_own_locks);
}

void use_own_lock_folder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/orvex-vcam-locks.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::fprintf(stderr, "orvex-vcam: cannot create a lock folder in %s\n", tmpl.c_str());
        std::exit(2);
    }
    std::snprintf(g_own_locks, sizeof g_own_locks, "%s", tmpl.c_str());
    g_locks_owner = getpid();
    std::atexit(remove_own_locks);
    setenv(kLockDirEnv, g_own_locks, 1);
}

void save_and_die(int sig) {
    // Not async-signal-safe in general; the program is being killed anyway
    // and losing the image would be worse than the small risk.
    persist_all();
    write_configured_trace();
    remove_own_tree();
    remove_own_locks();
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) void configure_from_environment() {
    model_lock();  // its fork handlers, before the program can fork
    if (const char* socket = std::getenv(kSocketEnv); socket && *socket) {
        set_device_socket(socket);
        set_identity_root(identity_root(socket));
        setenv(kLockDirEnv, lock_folder(identity_root(socket)).c_str(), 1);
        return;
    }
    use_own_lock_folder();
    const char* config = std::getenv("ORVEX_VCAM");
    if (!config) return;
    std::string error;
    if (!configure_from_string(config, &error)) {
        std::fprintf(stderr, "orvex-vcam: ORVEX_VCAM: %s\n", error.c_str());
        std::exit(2);
    }
    // The trace must outlive the handler that writes it: construct it
    // before the handler is registered, so that it is destroyed after.
    trace();
    std::atexit(write_configured_trace);
    lay_identity_tree_on_demand(make_own_identity_tree);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler == SIG_DFL) signal(sig, save_and_die);
    }
}

}  // namespace
}  // namespace vcam
