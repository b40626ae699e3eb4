// File contents in the repository's PostgreSQL database: chunks keyed by
// their hash (the first 192 bits of SHA-256, which is also the ContentRef),
// written in transactions of their own before the commit's metadata.
//
// Why in the same database, and not as large objects or in an object store:
// one server to run, back up, replicate and fail over, and one consistent
// snapshot for a backup (pg_dump or a standby) that holds both the records
// and the bytes they name.  Large objects have a separate namespace without
// a key of ours (no idempotent "store once per hash"), need their own
// clean-up (vacuumlo) and are awkward in logical dumps; bytea rows of at
// most a chunk (1 MiB) stay within what TOAST handles well.  An object store
// would fit behind the same seam for repositories whose contents outgrow one
// database (docs/scale-out.md), at the price of a second system whose
// writes are not in the database's transactions.

#include <openssl/evp.h>

#include "pg_conn.h"
#include "postgres.h"

namespace ostrel::fs::pg {

namespace {

// A pipeline of chunks is sent once it holds this much or this many.
constexpr size_t kBatchBytes = 8u << 20;
constexpr size_t kBatchChunks = 256;

std::string key_of(const void *data, size_t len) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data, len, md, &n, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char *>(md), 24);
}

ContentRef ref_from_key(const std::string &key) {
  ContentRef ref;
  for (int w = 0; w < 3; ++w) {
    uint64_t v = 0;
    for (int b = 0; b < 8; ++b) v = (v << 8) | static_cast<unsigned char>(key[w * 8 + b]);
    ref.w[w] = static_cast<int64_t>(v);
  }
  return ref;
}

std::string key_from_ref(const ContentRef &ref) {
  std::string out(24, '\0');
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 8; ++b)
      out[w * 8 + b] = static_cast<char>(static_cast<uint64_t>(ref.w[w]) >> (56 - 8 * b));
  return out;
}

std::string hex(const std::string &s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

class PgAppender : public Appender {
 public:
  PgAppender(const std::string &conninfo, const std::string &name) : conn_(conninfo, name) {}

  ostrel_error *append(const void *data, size_t len, ContentRef *ref) override {
    std::string key = key_of(data, len);
    *ref = ref_from_key(key);
    bytes_ += len;
    pending_.emplace_back(std::move(key), std::string(static_cast<const char *>(data), len));
    wrote_ = true;
    if (bytes_ >= kBatchBytes || pending_.size() >= kBatchChunks) OSTREL_ERR(send());
    return OSTREL_NO_ERROR;
  }

  ostrel_error *flush() override { return send(); }
  ostrel_error *sync() override { return send(); }

  ostrel_error *discard() override {
    // What was sent stays until a collection: another commit may hold the
    // same chunks.
    pending_.clear();
    bytes_ = 0;
    return OSTREL_NO_ERROR;
  }

  StoreMark mark() const override { return StoreMark{0, 0}; }
  bool wrote() const override { return wrote_; }

 private:
  // One transaction per batch, one round trip: a chunk stored before is
  // only marked as recently wanted, so that a collection leaves it alone.
  ostrel_error *send() {
    if (pending_.empty()) return OSTREL_NO_ERROR;
    OSTREL_ERR(fault_point("pg-store-chunks"));
    OSTREL_ERR(conn_.pipeline_begin());
    ostrel_error *err = conn_.queue("BEGIN", Params());
    for (const auto &[key, data] : pending_)
      if (!err)
        err = conn_.queue("INSERT INTO blob(key, data) VALUES($1, $2) ON CONFLICT (key) DO UPDATE "
                          "SET touched = now() WHERE blob.touched < now() - interval '1 minute'",
                          Params().bytes(key).bytes(data));
    if (!err) err = conn_.queue("COMMIT", Params());
    if (err) {
      conn_.drop();
      return err;
    }
    OSTREL_ERR(conn_.pipeline_end("store file contents"));
    pending_.clear();
    bytes_ = 0;
    return OSTREL_NO_ERROR;
  }

  Conn conn_;
  std::vector<std::pair<std::string, std::string>> pending_;
  size_t bytes_ = 0;
  bool wrote_ = false;
};

class PgContents : public ContentStore {
 public:
  PgContents(const std::string &conninfo, const std::string &name)
      : conninfo_(conninfo), name_(name), conn_(conninfo, name) {}

  ostrel_error *open_appender(std::unique_ptr<Appender> *out, const MarkReader &) override {
    *out = std::make_unique<PgAppender>(conninfo_, name_);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *read(const ContentRef &ref, std::string &out) override {
    std::string key = key_from_ref(ref);
    Result r;
    OSTREL_ERR(conn_.query("SELECT data FROM blob WHERE key=$1", Params().bytes(key), &r,
                           "read file contents"));
    if (r.rows() == 0)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository '%s' is damaged: the stored chunk %s is missing",
                                  name_.c_str(), hex(key).c_str());
    out = r.bytes(0, 0);
    return OSTREL_NO_ERROR;
  }

  ostrel_error *copy_to(const std::string &destination, const MarkList &) override {
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "The contents of repository '%s' live in PostgreSQL and are "
                                "copied with the database, not into '%s'",
                                name_.c_str(), destination.c_str());
  }

 private:
  std::string conninfo_, name_;
  Conn conn_;
};

}  // namespace

std::unique_ptr<ContentStore> make_contents(const std::string &conninfo, const std::string &name) {
  return std::make_unique<PgContents>(conninfo, name);
}

ostrel_error *collect_unreferenced(const std::string &conninfo, const std::string &name,
                                   int64_t grace_seconds, int busy_timeout_ms, Collected *out) {
  *out = Collected{};
  Conn c(conninfo, name);
  OSTREL_ERR(c.exec("BEGIN", "collect unused contents"));
  ostrel_error *err = [&]() -> ostrel_error * {
    std::string timeout = "SET LOCAL lock_timeout = " + std::to_string(std::max(1, busy_timeout_ms));
    OSTREL_ERR(c.exec(timeout.c_str(), "collect unused contents"));
    // Under the commit lock: no commit is between its check of the chunks
    // it names and its COMMIT.
    OSTREL_ERR(c.query("SELECT pg_advisory_xact_lock($1)", Params().int64(0x6f7374726c434c4bLL),
                       nullptr, "collect unused contents"));
    const char *stale = "SELECT id FROM txn WHERE opened < now() - make_interval(secs => $1::double precision)";
    std::string q = std::string("DELETE FROM chunk WHERE content IN (SELECT id FROM content WHERE txn IN (") + stale + "))";
    OSTREL_ERR(c.query(q.c_str(), Params().int64(grace_seconds), nullptr, "collect unused contents"));
    q = std::string("DELETE FROM content WHERE txn IN (") + stale + ")";
    OSTREL_ERR(c.query(q.c_str(), Params().int64(grace_seconds), nullptr, "collect unused contents"));
    Result r;
    OSTREL_ERR(c.query("WITH d AS (DELETE FROM txn WHERE opened < now() - make_interval(secs => "
                       "$1::double precision) RETURNING 1) SELECT count(*) FROM d",
                       Params().int64(grace_seconds), &r, "collect unused contents"));
    out->transactions = r.int64(0, 0);
    OSTREL_ERR(c.query("WITH d AS (DELETE FROM blob b WHERE touched < now() - make_interval(secs => "
                       "$1::double precision) AND NOT EXISTS (SELECT 1 FROM chunk k WHERE k.ref = "
                       "b.key) RETURNING octet_length(data) AS n) SELECT count(*), "
                       "coalesce(sum(n), 0)::bigint FROM d",
                       Params().int64(grace_seconds), &r, "collect unused contents"));
    out->chunks = r.int64(0, 0);
    out->bytes = r.int64(0, 1);
    return c.exec("COMMIT", "collect unused contents");
  }();
  if (err && c.in_transaction()) ostrel_error_clear(c.exec("ROLLBACK", "roll back"));
  return err;
}

}  // namespace ostrel::fs::pg
