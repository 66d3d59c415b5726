// The PostgreSQL client library, loaded on first use.
//
// libpq brings about twenty libraries of its own (TLS, Kerberos, LDAP),
// whose loading and start-up cost a program more than most of its commands
// do: several milliseconds natively, tens under an emulator. Only a line
// database needs it, so the archive loads it when it first opens one and
// every other program start stays as cheap as the rest of the library.
#pragma once

#include <libpq-fe.h>

namespace orvex_factory {

struct LibpqClient {
    decltype(&PQconnectStartParams) connectStartParams;
    decltype(&PQconnectPoll) connectPoll;
    decltype(&PQstatus) status;
    decltype(&PQtransactionStatus) transactionStatus;
    decltype(&PQsetnonblocking) setnonblocking;
    decltype(&PQsocket) socket;
    decltype(&PQerrorMessage) errorMessage;
    decltype(&PQfinish) finish;
    decltype(&PQsendQueryParams) sendQueryParams;
    decltype(&PQflush) flush;
    decltype(&PQconsumeInput) consumeInput;
    decltype(&PQisBusy) isBusy;
    decltype(&PQgetResult) getResult;
    decltype(&PQresultStatus) resultStatus;
    decltype(&PQresultErrorMessage) resultErrorMessage;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetlength) getlength;
    decltype(&PQftype) ftype;
    decltype(&PQclear) clear;
    decltype(&PQgetCancel) getCancel;
    decltype(&PQcancel) cancel;
    decltype(&PQfreeCancel) freeCancel;
};

// The client's functions; loaded once per process and kept. Throws
// ArchiveError, naming the library and why, when it cannot be loaded.
const LibpqClient& libpq_client();

}  // namespace orvex_factory
