// Connections to a PostgreSQL repository database: the pool, statements,
// pipelines, COPY and the one translation of PostgreSQL failures.

#include "pg_conn.h"

#include "pq_library.h"

#include "../meta.h"

#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

namespace ostrel::fs::pg {

namespace {

constexpr unsigned kInt8Oid = 20;
constexpr unsigned kTextOid = 25;
constexpr unsigned kByteaOid = 17;
// Idle connections kept per database.
constexpr size_t kPoolMax = 32;

std::mutex pool_mutex;
// The idle connections, of the process that made them: a child made by
// fork() must not share a socket with its parent, so it drops (and never
// closes, which would end the parent's session) what it inherited.
std::map<std::string, std::vector<PGconn *>> &pool() {
  static auto *p = new std::map<std::string, std::vector<PGconn *>>;
  static pid_t owner = getpid();
  if (owner != getpid()) {
    p->clear();
    owner = getpid();
  }
  return *p;
}

// The first line of a libpq message, without its trailing newline.
std::string first_line(const char *msg) {
  std::string s = msg ? msg : "";
  size_t nl = s.find('\n');
  if (nl != std::string::npos) s.resize(nl);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
  if (s.empty()) s = "no reason given";
  return s;
}

apr_status_t code_of(const char *sqlstate) {
  if (!sqlstate) return OSTREL_ERR_FS_GENERAL;
  std::string s = sqlstate;
  if (s == "53100") return OSTREL_ERR_FS_FULL;           // disk_full
  if (s == "55P03" || s == "40P01") return OSTREL_ERR_FS_BUSY;  // lock_not_available, deadlock
  if (s == "XX001" || s == "XX002") return OSTREL_ERR_FS_CORRUPT;  // data or index damaged
  return OSTREL_ERR_FS_GENERAL;
}

bool connection_state(const char *sqlstate) {
  if (!sqlstate) return false;
  return std::strncmp(sqlstate, "08", 2) == 0 || std::strncmp(sqlstate, "57P0", 4) == 0;
}

}  // namespace

ostrel_error *check_conninfo(const std::string &conninfo, std::string *shown) {
  OSTREL_ERR(load());
  char *errmsg = nullptr;
  PQconninfoOption *options = pq().PQconninfoParse(conninfo.c_str(), &errmsg);
  if (!options) {
    std::string reason = first_line(errmsg);
    pq().PQfreemem(errmsg);
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "The PostgreSQL connection info is malformed: %s", reason.c_str());
  }
  std::map<std::string, std::string> given;
  for (PQconninfoOption *o = options; o->keyword; ++o)
    if (o->val && *o->val) given[o->keyword] = o->val;
  pq().PQconninfoFree(options);
  if (given.count("password"))
    return ostrel_error_create(
        OSTREL_ERR_BAD_ARGUMENTS, nullptr,
        "The PostgreSQL connection info holds a password; the repository directory must not. "
        "Give the password in a password file (PGPASSFILE, ~/.pgpass) or a service file instead");
  std::string text;
  if (given.count("service")) text = "service '" + given["service"] + "'";
  std::string db = given.count("dbname") ? given["dbname"] : "";
  std::string host = given.count("host")       ? given["host"]
                     : given.count("hostaddr") ? given["hostaddr"]
                                               : "";
  if (!db.empty()) text += (text.empty() ? "" : ", ") + std::string("database '") + db + "'";
  if (!host.empty()) text += (text.empty() ? "" : " ") + std::string("on ") + host;
  if (given.count("port")) text += " port " + given["port"];
  if (text.empty()) text = "the default server";
  if (shown) *shown = text;
  return OSTREL_NO_ERROR;
}

// ---- Params and Result ----

Params &Params::add(std::string v, unsigned type, int format) {
  values_.push_back(std::move(v));
  nulls_.push_back(false);
  lengths_.push_back(static_cast<int>(values_.back().size()));
  formats_.push_back(format);
  types_.push_back(type);
  return *this;
}

const char *const *Params::values() const {
  ptrs_.clear();
  for (size_t i = 0; i < values_.size(); ++i)
    ptrs_.push_back(nulls_[i] ? nullptr : values_[i].data());
  return ptrs_.data();
}

Params &Params::text(const std::string &v) { return add(v, kTextOid, 0); }
Params &Params::bytes(const std::string &v) { return add(v, kByteaOid, 1); }
Params &Params::bytes(const void *data, size_t len) {
  return add(std::string(static_cast<const char *>(data), len), kByteaOid, 1);
}
Params &Params::int64(int64_t v) { return add(std::to_string(v), kInt8Oid, 0); }
Params &Params::null() {
  add(std::string(), 0, 0);
  nulls_.back() = true;
  return *this;
}

Result &Result::operator=(Result &&o) noexcept {
  if (this != &o) {
    if (res_) pq().PQclear(res_);
    res_ = o.res_;
    o.res_ = nullptr;
  }
  return *this;
}

Result::~Result() {
  if (res_) pq().PQclear(res_);
}

int64_t Result::int64(int row, int col) const {
  const auto *p = reinterpret_cast<const unsigned char *>(pq().PQgetvalue(res_, row, col));
  int len = pq().PQgetlength(res_, row, col);
  if (pq().PQfformat(res_, col) == 0) return std::strtoll(reinterpret_cast<const char *>(p), nullptr, 10);
  if (len == 1) return p[0];  // bool
  uint64_t v = 0;
  for (int i = 0; i < len; ++i) v = (v << 8) | p[i];
  // Sign-extend the narrower integer types.
  if (len < 8 && len > 0 && (p[0] & 0x80)) v |= ~uint64_t{0} << (8 * len);
  return static_cast<int64_t>(v);
}

std::string Result::text(int row, int col) const {
  return std::string(pq().PQgetvalue(res_, row, col), pq().PQgetlength(res_, row, col));
}

std::string Result::bytes(int row, int col) const {
  if (pq().PQfformat(res_, col) == 1) return text(row, col);
  size_t len = 0;
  unsigned char *raw =
      pq().PQunescapeBytea(reinterpret_cast<const unsigned char *>(pq().PQgetvalue(res_, row, col)), &len);
  std::string out(reinterpret_cast<char *>(raw), len);
  pq().PQfreemem(raw);
  return out;
}

// ---- Conn ----

Conn::Conn(std::string conninfo, std::string what)
    : conninfo_(std::move(conninfo)), what_(std::move(what)) {
  if (ostrel_error *err = check_conninfo(conninfo_, &shown_)) {
    ostrel_error_clear(err);
    shown_ = "the configured server";
  }
}

Conn::~Conn() { release(); }

bool Conn::in_transaction() const {
  return conn_ && pq().PQtransactionStatus(conn_) != PQTRANS_IDLE;
}

ostrel_error *Conn::connect() {
  if (conn_) return OSTREL_NO_ERROR;
  lost_ = false;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    auto &idle = pool()[conninfo_];
    while (!idle.empty()) {
      PGconn *c = idle.back();
      idle.pop_back();
      // A server that went away since (a restart) has closed the socket:
      // reading what is there, without waiting, tells.
      pq().PQconsumeInput(c);
      if (pq().PQstatus(c) == CONNECTION_OK && pq().PQtransactionStatus(c) == PQTRANS_IDLE) {
        conn_ = c;
        return OSTREL_NO_ERROR;
      }
      pq().PQfinish(c);
    }
  }
  // The connection info's own settings come after (and so override) these.
  const char *keys[] = {"application_name", "connect_timeout", "dbname", nullptr};
  const char *values[] = {"ostrel", "10", conninfo_.c_str(), nullptr};
  OSTREL_ERR(load());
  PGconn *c = pq().PQconnectdbParams(keys, values, 1);
  if (!c)
    return error_text(OSTREL_ERR_FS_GENERAL, "out of memory making a connection");
  if (pq().PQstatus(c) != CONNECTION_OK) {
    std::string reason = first_line(pq().PQerrorMessage(c));
    pq().PQfinish(c);
    lost_ = true;
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "Cannot reach the PostgreSQL server of repository '%s' (%s): %s",
                                what_.c_str(), shown_.c_str(), reason.c_str());
  }
  // The server's notices (a shutdown's warning, say) are not for the
  // user's terminal; what matters comes back as errors.
  pq().PQsetNoticeProcessor(c, [](void *, const char *) {}, nullptr);
  conn_ = c;
  return OSTREL_NO_ERROR;
}

void Conn::release() {
  if (!conn_) return;
  if (in_pipeline() || pq().PQstatus(conn_) != CONNECTION_OK ||
      pq().PQtransactionStatus(conn_) != PQTRANS_IDLE) {
    drop();
    return;
  }
  std::lock_guard<std::mutex> lock(pool_mutex);
  auto &idle = pool()[conninfo_];
  if (idle.size() < kPoolMax) {
    idle.push_back(conn_);
  } else {
    pq().PQfinish(conn_);
  }
  conn_ = nullptr;
}

void Conn::drop() {
  if (conn_) pq().PQfinish(conn_);
  conn_ = nullptr;
  queued_ = 0;
}

ostrel_error *Conn::error_text(apr_status_t code, const std::string &message) const {
  return ostrel_error_createf(code, nullptr, "PostgreSQL server of repository '%s' (%s): %s",
                              what_.c_str(), shown_.c_str(), message.c_str());
}

ostrel_error *Conn::error(const char *what, const PGresult *res) {
  const char *sqlstate = res ? pq().PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  std::string reason =
      first_line(res && pq().PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY)
                     ? pq().PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY)
                     : (conn_ ? pq().PQerrorMessage(conn_) : "not connected"));
  // A failure without SQLSTATE was made by libpq itself, not the server:
  // the connection failed.
  if (conn_ && !sqlstate) pq().PQconsumeInput(conn_);
  lost_ = !conn_ || pq().PQstatus(conn_) == CONNECTION_BAD || connection_state(sqlstate) ||
          (res && !sqlstate);
  if (lost_)
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "Cannot %s in repository '%s': the connection to its PostgreSQL "
                                "server (%s) failed: %s",
                                what, what_.c_str(), shown_.c_str(), reason.c_str());
  apr_status_t code = code_of(sqlstate);
  if (code == OSTREL_ERR_FS_BUSY)
    return ostrel_error_createf(code, nullptr,
                                "Cannot %s in repository '%s': another committer holds it too long "
                                "(PostgreSQL server %s: %s)",
                                what, what_.c_str(), shown_.c_str(), reason.c_str());
  return ostrel_error_createf(code, nullptr,
                              "Cannot %s in repository '%s': its PostgreSQL server (%s) says: %s",
                              what, what_.c_str(), shown_.c_str(), reason.c_str());
}

ostrel_error *Conn::exec(const char *sql, const char *what) {
  OSTREL_ERR(connect());
  Result res(pq().PQexec(conn_, sql));
  ExecStatusType st = res.get() ? pq().PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) return error(what, res.get());
  if (std::strcmp(sql, "COMMIT") == 0) {
    // Fault point "pg-commit-answer": the server carried out the COMMIT
    // and the connection broke before its answer came back, which no test
    // can time from outside.  The caller sees what it would see then.
    if (ostrel_error *cut = fault_point("pg-commit-answer")) {
      ostrel_error_clear(cut);
      drop();
      lost_ = true;
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "Cannot %s in repository '%s': the connection to its PostgreSQL "
                                  "server (%s) failed: server closed the connection",
                                  what, what_.c_str(), shown_.c_str());
    }
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *Conn::query(const char *sql, const Params &params, Result *out, const char *what) {
  OSTREL_ERR(connect());
  Result res(pq().PQexecParams(conn_, sql, params.count(), params.types(), params.values(),
                          params.lengths(), params.formats(), 1));
  ExecStatusType st = res.get() ? pq().PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) return error(what, res.get());
  if (out) *out = std::move(res);
  return OSTREL_NO_ERROR;
}

ostrel_error *Conn::pipeline_begin() {
  OSTREL_ERR(connect());
  if (!pq().PQenterPipelineMode(conn_)) return error("begin a pipeline");
  queued_ = 0;
  return OSTREL_NO_ERROR;
}

ostrel_error *Conn::queue(const char *sql, const Params &params) {
  if (!conn_ || !pq().PQsendQueryParams(conn_, sql, params.count(), params.types(), params.values(),
                                   params.lengths(), params.formats(), 1))
    return error("send a statement");
  ++queued_;
  return OSTREL_NO_ERROR;
}

ostrel_error *Conn::pipeline_end(const char *what, std::vector<Result> *results) {
  if (!conn_) return error(what);
  if (results) results->clear();
  ostrel_error *first = nullptr;
  if (!pq().PQpipelineSync(conn_)) first = error(what);
  for (int i = 0; i < queued_ && !first; ++i) {
    Result kept;
    for (;;) {
      PGresult *raw = pq().PQgetResult(conn_);
      if (!raw) break;
      Result r(raw);
      ExecStatusType st = pq().PQresultStatus(raw);
      if (st == PGRES_FATAL_ERROR) {
        if (!first) first = error(what, raw);
      } else if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
        kept = std::move(r);
      }
    }
    if (results) results->push_back(std::move(kept));
    if (pq().PQstatus(conn_) == CONNECTION_BAD && !first) first = error(what);
  }
  queued_ = 0;
  if (first) {
    // What is left of the pipeline is of no use; the connection is not
    // trusted either.
    drop();
    return first;
  }
  PGresult *sync = pq().PQgetResult(conn_);
  bool synced = sync && pq().PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
  if (sync) pq().PQclear(sync);
  if (!synced || !pq().PQexitPipelineMode(conn_)) {
    ostrel_error *err = error(what);
    drop();
    return err;
  }
  return OSTREL_NO_ERROR;
}

ostrel_error *Conn::copy_in(const char *copy_sql, const std::string &rows, const char *what) {
  OSTREL_ERR(connect());
  {
    Result start(pq().PQexec(conn_, copy_sql));
    if (!start.get() || pq().PQresultStatus(start.get()) != PGRES_COPY_IN)
      return error(what, start.get());
  }
  constexpr size_t kPiece = 1 << 20;
  bool sent = true;
  for (size_t off = 0; off < rows.size() && sent; off += kPiece) {
    size_t n = std::min(kPiece, rows.size() - off);
    sent = pq().PQputCopyData(conn_, rows.data() + off, static_cast<int>(n)) == 1;
  }
  if (!sent || pq().PQputCopyEnd(conn_, nullptr) != 1) return error(what);
  ostrel_error *err = nullptr;
  for (;;) {
    PGresult *raw = pq().PQgetResult(conn_);
    if (!raw) break;
    Result r(raw);
    if (pq().PQresultStatus(raw) != PGRES_COMMAND_OK && !err) err = error(what, raw);
  }
  if (!err && pq().PQstatus(conn_) == CONNECTION_BAD) err = error(what);
  return err;
}

void copy_field(std::string &row, const std::string &field, bool first) {
  if (!first) row.push_back('\t');
  for (char c : field) {
    switch (c) {
      case '\\': row += "\\\\"; break;
      case '\t': row += "\\t"; break;
      case '\n': row += "\\n"; break;
      case '\r': row += "\\r"; break;
      default: row.push_back(c);
    }
  }
}

void copy_int(std::string &row, int64_t v, bool first) {
  if (!first) row.push_back('\t');
  row += std::to_string(v);
}

void copy_null(std::string &row, bool first) {
  if (!first) row.push_back('\t');
  row += "\\N";
}

void copy_bytes(std::string &row, const std::string &data, bool first) {
  static const char kHex[] = "0123456789abcdef";
  if (!first) row.push_back('\t');
  row += "\\\\x";
  for (unsigned char c : data) {
    row.push_back(kHex[c >> 4]);
    row.push_back(kHex[c & 15]);
  }
}

void drain_pool() {
  std::lock_guard<std::mutex> lock(pool_mutex);
  for (auto &[info, idle] : pool()) {
    for (PGconn *c : idle) pq().PQfinish(c);
    idle.clear();
  }
}

}  // namespace ostrel::fs::pg
