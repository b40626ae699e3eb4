/* pg_conn.h: connections to a PostgreSQL repository database.
 *
 * The connection info names one database, which holds one repository.  It
 * never holds a password: passwords come from libpq's own means (the
 * password file, a service file, the environment of the process), so that
 * the repository directory, which many people and tools read, never
 * carries a secret, and no message can show one.
 *
 * Connections are kept in a process-wide pool per connection info: a
 * server opens a repository for each request, and logging in (SCRAM) costs
 * far more than a commit.  A connection goes back to the pool only when it
 * is healthy and outside any transaction.
 *
 * Errors: every failure becomes an ostrel_error naming the database server
 * (socket or host, port, database) and what was being done, with a code that
 * says what the caller should do: OSTREL_ERR_FS_BUSY (a lock held too long),
 * OSTREL_ERR_FS_FULL (the server's disk is full), OSTREL_ERR_FS_CORRUPT
 * (damage the server found), OSTREL_ERR_FS_GENERAL for the rest.  Whether a
 * failure means the connection is lost is told by lost(). */
#ifndef OSTREL_FS_PG_CONN_H
#define OSTREL_FS_PG_CONN_H

#include <libpq-fe.h>

#include "pq_library.h"

#include <cstdint>
#include <string>
#include <vector>

#include "ostrel_error.h"

namespace ostrel::fs::pg {

/* Refuses connection info that does not parse or that holds a password;
 * on success *SHOWN is a description of the server that is safe to print
 * ("database 'r1' on /run/pg (port 5432)"). */
ostrel_error *check_conninfo(const std::string &conninfo, std::string *shown);

/* Parameters of one statement, all sent as binary or text values. */
class Params {
 public:
  Params &text(const std::string &v);
  Params &bytes(const std::string &v);  // bytea, binary
  Params &bytes(const void *data, size_t len);
  Params &int64(int64_t v);
  Params &null();
  int count() const { return static_cast<int>(values_.size()); }
  /* Pointers into this object's own values (valid until it changes). */
  const char *const *values() const;
  const int *lengths() const { return lengths_.data(); }
  const int *formats() const { return formats_.data(); }
  const unsigned *types() const { return types_.data(); }

 private:
  Params &add(std::string v, unsigned type, int format);
  std::vector<std::string> values_;
  std::vector<bool> nulls_;
  mutable std::vector<const char *> ptrs_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
  std::vector<unsigned> types_;
};

/* A result, freed with the object.  Results are always asked for in binary
 * format, so that bytea comes back unescaped. */
class Result {
 public:
  Result() = default;
  explicit Result(PGresult *res) : res_(res) {}
  Result(Result &&o) noexcept : res_(o.res_) { o.res_ = nullptr; }
  Result &operator=(Result &&o) noexcept;
  ~Result();
  Result(const Result &) = delete;
  Result &operator=(const Result &) = delete;

  int rows() const { return res_ ? pq().PQntuples(res_) : 0; }
  bool is_null(int row, int col) const { return pq().PQgetisnull(res_, row, col); }
  int64_t int64(int row, int col) const;
  std::string text(int row, int col) const;
  /* A bytea column in binary format. */
  std::string bytes(int row, int col) const;
  PGresult *get() const { return res_; }

 private:
  PGresult *res_ = nullptr;
};

/* One connection to the repository database. */
class Conn {
 public:
  /* WHAT names the repository in messages. */
  Conn(std::string conninfo, std::string what);
  ~Conn();
  Conn(const Conn &) = delete;
  Conn &operator=(const Conn &) = delete;

  /* Takes a connection from the pool or makes one. */
  ostrel_error *connect();
  /* Returns the connection to the pool when it is fit, else closes it. */
  void release();
  /* Closes it for good (after a failure). */
  void drop();
  bool connected() const { return conn_ != nullptr; }
  /* Whether the last failure lost the connection. */
  bool lost() const { return lost_; }
  /* Whether the connection is inside a transaction. */
  bool in_transaction() const;

  /* Runs one statement (no parameters; several allowed) returning no rows. */
  ostrel_error *exec(const char *sql, const char *what);
  /* Runs one statement with parameters; *OUT (when given) gets its rows. */
  ostrel_error *query(const char *sql, const Params &params, Result *out, const char *what);

  /* Pipelines: queue statements, then send them all and take every result
   * in one round trip.  The first failure is returned; later statements of
   * a failed pipeline are not run. */
  ostrel_error *pipeline_begin();
  ostrel_error *queue(const char *sql, const Params &params);
  /* Ends the pipeline; RESULTS (when given) receive the row sets of the
   * queued statements, in order. */
  ostrel_error *pipeline_end(const char *what, std::vector<Result> *results = nullptr);
  bool in_pipeline() const { return conn_ && pq().PQpipelineStatus(conn_) != PQ_PIPELINE_OFF; }

  /* COPY TABLE(COLUMNS) FROM STDIN in text format; ROWS is the payload,
   * already escaped (see copy_field). */
  ostrel_error *copy_in(const char *copy_sql, const std::string &rows, const char *what);

  /* The error for a failed operation WHAT (from the connection's state). */
  ostrel_error *error(const char *what, const PGresult *res = nullptr);
  /* An error of the server connection without a result (CODE, MESSAGE). */
  ostrel_error *error_text(apr_status_t code, const std::string &message) const;

  const std::string &server() const { return shown_; }
  const std::string &conninfo() const { return conninfo_; }

 private:
  std::string conninfo_;
  std::string what_;
  std::string shown_;
  PGconn *conn_ = nullptr;
  bool lost_ = false;
  int queued_ = 0;
};

/* Appends FIELD to a COPY text row (escaped), with a tab before it unless
 * it is the row's first. */
void copy_field(std::string &row, const std::string &field, bool first = false);
void copy_int(std::string &row, int64_t v, bool first = false);
void copy_null(std::string &row, bool first = false);
/* bytea in COPY text format (hex). */
void copy_bytes(std::string &row, const std::string &data, bool first = false);

/* Closes every pooled connection (tests that stop the server). */
void drain_pool();

}  // namespace ostrel::fs::pg

#endif /* OSTREL_FS_PG_CONN_H */
