#include "libpq_client.h"

#include <dlfcn.h>

#include <string>

#include "archive_backend.h"

namespace orvex_factory {

namespace {

// The run-time library's name: its SONAME, what the package depends on.
constexpr const char* kLibpq = "libpq.so.5";

template <typename F>
void resolve(void* lib, const char* name, F* out, std::string* missing) {
    *out = reinterpret_cast<F>(dlsym(lib, name));
    if (!*out && missing->empty()) *missing = name;
}

struct Loaded {
    LibpqClient fns{};
    std::string error;  // empty once every function is there

    Loaded() {
        // Never unloaded: its TLS and Kerberos libraries register exit
        // handlers of their own.
        void* lib = dlopen(kLibpq, RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            const char* why = dlerror();
            error = std::string("the PostgreSQL client library ") + kLibpq + " cannot be loaded: " +
                    (why ? why : "unknown error") + " (install libpq5)";
            return;
        }
        std::string missing;
#define ORVEX_LIBPQ_RESOLVE(member, function) resolve(lib, #function, &fns.member, &missing);
        ORVEX_LIBPQ_FUNCTIONS(ORVEX_LIBPQ_RESOLVE)
#undef ORVEX_LIBPQ_RESOLVE
        if (!missing.empty()) error = std::string("the PostgreSQL client library ") + kLibpq + " lacks " + missing;
    }
};

}  // namespace

const LibpqClient& libpq_client() {
    static const Loaded loaded;  // thread-safe, once
    if (!loaded.error.empty()) throw ArchiveError("line database: " + loaded.error);
    return loaded.fns;
}

}  // namespace orvex_factory
