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
        resolve(lib, "PQconnectStartParams", &fns.connectStartParams, &missing);
        resolve(lib, "PQconnectPoll", &fns.connectPoll, &missing);
        resolve(lib, "PQstatus", &fns.status, &missing);
        resolve(lib, "PQtransactionStatus", &fns.transactionStatus, &missing);
        resolve(lib, "PQsetnonblocking", &fns.setnonblocking, &missing);
        resolve(lib, "PQsocket", &fns.socket, &missing);
        resolve(lib, "PQerrorMessage", &fns.errorMessage, &missing);
        resolve(lib, "PQfinish", &fns.finish, &missing);
        resolve(lib, "PQsendQueryParams", &fns.sendQueryParams, &missing);
        resolve(lib, "PQflush", &fns.flush, &missing);
        resolve(lib, "PQconsumeInput", &fns.consumeInput, &missing);
        resolve(lib, "PQisBusy", &fns.isBusy, &missing);
        resolve(lib, "PQgetResult", &fns.getResult, &missing);
        resolve(lib, "PQresultStatus", &fns.resultStatus, &missing);
        resolve(lib, "PQresultErrorMessage", &fns.resultErrorMessage, &missing);
        resolve(lib, "PQntuples", &fns.ntuples, &missing);
        resolve(lib, "PQnfields", &fns.nfields, &missing);
        resolve(lib, "PQgetisnull", &fns.getisnull, &missing);
        resolve(lib, "PQgetvalue", &fns.getvalue, &missing);
        resolve(lib, "PQgetlength", &fns.getlength, &missing);
        resolve(lib, "PQftype", &fns.ftype, &missing);
        resolve(lib, "PQclear", &fns.clear, &missing);
        resolve(lib, "PQgetCancel", &fns.getCancel, &missing);
        resolve(lib, "PQcancel", &fns.cancel, &missing);
        resolve(lib, "PQfreeCancel", &fns.freeCancel, &missing);
        if (!missing.empty())
            error = std::string("the PostgreSQL client library ") + kLibpq + " lacks " + missing +
                    " (a libpq older than version 10)";
    }
};

}  // namespace

const LibpqClient& libpq_client() {
    static const Loaded loaded;  // thread-safe, once
    if (!loaded.error.empty()) throw ArchiveError("line database: " + loaded.error);
    return loaded.fns;
}

}  // namespace orvex_factory
