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

void save_and_die(int sig) {
    // Not async-signal-safe in general; the program is being killed anyway
    // and losing the image would be worse than the small risk.
    persist_all();
    write_configured_trace();
    remove_own_tree();
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) void configure_from_environment() {
    model_lock();  // its fork handlers, before the program can fork
    if (const char* socket = std::getenv(kSocketEnv); socket && *socket) {
        set_device_socket(socket);
        set_identity_root(identity_root(socket));
        return;
    }
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
