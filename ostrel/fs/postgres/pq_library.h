/* pq_library.h: PostgreSQL's client library, opened on first use
 * (late_library.h): by checking connection info or making a connection,
 * both of which call load() first.  Every other call of the library is on
 * something those made, so pq() is then ready. */
#ifndef OSTREL_FS_PQ_LIBRARY_H
#define OSTREL_FS_PQ_LIBRARY_H

#include <libpq-fe.h>

#include "../../subr/late_library.h"
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
  OSTREL_PQ_FUNCTIONS(OSTREL_LATE_MEMBER)
};

/* Opens the library once per process (an error naming it when it cannot). */
ostrel_error *load();

/* The opened library's functions. */
const PqLibrary &pq();

}  // namespace ostrel::fs::pg

#endif /* OSTREL_FS_PQ_LIBRARY_H */
