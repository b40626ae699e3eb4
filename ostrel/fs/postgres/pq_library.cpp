// PostgreSQL's client library, opened on first use (pq_library.h).

#include "pq_library.h"

namespace ostrel::fs::pg {

namespace {

PqLibrary table;

const char *bind(void *handle) {
#define OSTREL_PQ_FIND(name) OSTREL_LATE_FIND(table, handle, name)
  OSTREL_PQ_FUNCTIONS(OSTREL_PQ_FIND)
#undef OSTREL_PQ_FIND
  return nullptr;
}

LateLibrary library("PostgreSQL's client library", "libpq.so.5", OSTREL_ERR_FS_GENERAL, bind);

}  // namespace

ostrel_error *load() { return library.load(); }

const PqLibrary &pq() { return table; }

}  // namespace ostrel::fs::pg
