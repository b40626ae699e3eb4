/* postgres.h: repositories kept in a PostgreSQL database.
 *
 * One database holds one repository: its metadata records and, in the same
 * database, the bytes of its contents as chunks named by their SHA-256.
 * The repository's local directory holds only its format file and the
 * connection info (see pg_conn.h: never a password), so that any number of
 * processes on any number of machines reach the same repository.
 *
 * COMMITS.  Contents are written first, by the content store, in
 * transactions of their own; writing a chunk twice stores it once (its key
 * is its hash), so a retried upload costs nothing and a lost one leaves
 * nothing half-written.  Then one metadata transaction takes the
 * repository's commit lock (a transaction-level advisory lock, released by
 * the server whatever happens to the client), reads the youngest revision,
 * lets the filesystem check for out-of-date changes, writes every row
 * (COPY for bulk rows, a pipeline for the rest) and commits.  Revision
 * numbers are youngest + 1 under the lock and the revision table's key
 * refuses a second one, so they are gap-free and sequential whichever
 * server commits.  Each revision row carries a random token of the
 * transaction that made it: when the connection is lost during COMMIT, the
 * store reconnects (for up to the busy timeout) and looks for the revision
 * with its token, so that the answer is "committed" or "not committed"
 * and only when the server stays unreachable "unknown"
 * (OSTREL_ERR_FS_UNCERTAIN).
 *
 * UNFINISHED CONTENTS.  A commit that never reaches its metadata
 * transaction (a killed server, a client gone) leaves chunks no record
 * names.  collect_unreferenced() deletes those untouched for a grace period
 * (ostrel-admin collect); it takes the commit lock, and a commit checks
 * under the lock that every content it makes committed is still there, with
 * each of its chunks, so a revision never names what a collection removed.
 * An open transaction is dead when the lock its owner holds on a
 * connection of its own (its lease, see pg_meta.cpp) is free: whichever
 * machine it ran on, a killed owner's transaction is swept by the next
 * commit of any server, and a live one's never is.  Collections also
 * remove transactions older than the grace period. */
#ifndef OSTREL_FS_POSTGRES_H
#define OSTREL_FS_POSTGRES_H

#include <cstdint>
#include <memory>
#include <string>

#include "../content_store.h"
#include "../meta.h"
#include "ostrel_error.h"
#include "postgres_fs.h"

namespace ostrel::fs::pg {

/* The format of a repository whose records live in PostgreSQL. */
inline constexpr int kPostgresFormat = OSTREL_FS__POSTGRES_FORMAT;

/* Makes the schema of a new repository in the empty database CONNINFO names,
 * with revision 0 dated DATE.  NAME names the repository in messages. */
ostrel_error *create_meta(const std::string &conninfo, const std::string &name,
                          const std::string &date, int busy_timeout_ms,
                          std::unique_ptr<MetaStore> *out);

/* Opens the repository in the database CONNINFO names. */
ostrel_error *open_meta(const std::string &conninfo, const std::string &name,
                        int busy_timeout_ms, std::unique_ptr<MetaStore> *out);

/* The content store in the same database. */
std::unique_ptr<ContentStore> make_contents(const std::string &conninfo, const std::string &name);

/* What a collection removed. */
struct Collected {
  int64_t chunks = 0;
  int64_t bytes = 0;
  int64_t transactions = 0;
};

/* Deletes chunks that no record names, and transactions (with their
 * unfinished contents) older than GRACE_SECONDS. */
ostrel_error *collect_unreferenced(const std::string &conninfo, const std::string &name,
                                   int64_t grace_seconds, int busy_timeout_ms, Collected *out);

}  // namespace ostrel::fs::pg

#endif /* OSTREL_FS_POSTGRES_H */
