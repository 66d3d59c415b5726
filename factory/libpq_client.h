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

// Every libpq function the archive calls, once: the table's members and
// their lookup are both made from this list.
#define ORVEX_LIBPQ_FUNCTIONS(X) \
    X(connectStartParams, PQconnectStartParams) \
    X(connectPoll, PQconnectPoll) \
    X(status, PQstatus) \
    X(transactionStatus, PQtransactionStatus) \
    X(setnonblocking, PQsetnonblocking) \
    X(socket, PQsocket) \
    X(errorMessage, PQerrorMessage) \
    X(finish, PQfinish) \
    X(sendQueryParams, PQsendQueryParams) \
    X(flush, PQflush) \
    X(consumeInput, PQconsumeInput) \
    X(isBusy, PQisBusy) \
    X(getResult, PQgetResult) \
    X(resultStatus, PQresultStatus) \
    X(resultErrorMessage, PQresultErrorMessage) \
    X(ntuples, PQntuples) \
    X(nfields, PQnfields) \
    X(getisnull, PQgetisnull) \
    X(getvalue, PQgetvalue) \
    X(getlength, PQgetlength) \
    X(ftype, PQftype) \
    X(clear, PQclear) \
    X(getCancel, PQgetCancel) \
    X(cancel, PQcancel) \
    X(freeCancel, PQfreeCancel)

struct LibpqClient {
#define ORVEX_LIBPQ_MEMBER(member, function) decltype(&function) member;
    ORVEX_LIBPQ_FUNCTIONS(ORVEX_LIBPQ_MEMBER)
#undef ORVEX_LIBPQ_MEMBER
};

// The client's functions; loaded once per process and kept. Throws
// ArchiveError, naming the library and why, when it cannot be loaded.
const LibpqClient& libpq_client();

}  // namespace orvex_factory
