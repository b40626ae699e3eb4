/* pq_library.h: PostgreSQL's client library, loaded on first use.
 *
 * Most repositories are local, and every program of the suite links this
 * storage.  Linking the client library would make each of them load it and
 * the dozen libraries it needs (Kerberos, LDAP, a TLS stack) at every start,
 * which costs more than a small commit does.  So the library is opened with
 * dlopen the first time a repository in PostgreSQL, or its connection info,
 * is touched, and its functions are called through the table below.
 *
 * load() must have succeeded before pq() is used; every path into this
 * folder that can reach the library (checking connection info, opening a
 * connection) calls it first.  Once loaded, the library stays loaded for
 * the life of the process. */
#ifndef OSTREL_FS_PQ_LIBRARY_H
#define OSTREL_FS_PQ_LIBRARY_H

#include <libpq-fe.h>

#include "ostrel_error.h"

namespace ostrel::fs::pg {

// Every function of the client library this folder calls.
#define OSTREL_PQ_FUNCTIONS(X)                                                     \
  X(PQclear) X(PQconnectdbParams) X(PQconninfoFree) X(PQconninfoParse)              \
  X(PQconsumeInput) X(PQenterPipelineMode) X(PQerrorMessage) X(PQexec)              \
  X(PQexecParams) X(PQexitPipelineMode) X(PQfformat) X(PQfinish) X(PQfreemem)       \
  X(PQgetResult) X(PQgetisnull) X(PQgetlength) X(PQgetvalue) X(PQntuples)           \
  X(PQpipelineStatus) X(PQpipelineSync) X(PQputCopyData) X(PQputCopyEnd)           \
  X(PQresultErrorField) X(PQresultStatus) X(PQsendQueryParams)                      \
  X(PQsetNoticeProcessor) X(PQstatus) X(PQtransactionStatus) X(PQunescapeBytea)

struct PqLibrary {
#define OSTREL_PQ_MEMBER(name) decltype(&::name) name = nullptr;
  OSTREL_PQ_FUNCTIONS(OSTREL_PQ_MEMBER)
#undef OSTREL_PQ_MEMBER
};

/* Loads the client library once per process; later calls return at once.
 * Fails, naming the library and the loader's reason, when it is not
 * installed or lacks a function. */
ostrel_error *load();

/* The loaded library's functions. */
const PqLibrary &pq();

}  // namespace ostrel::fs::pg

#endif /* OSTREL_FS_PQ_LIBRARY_H */
