// File contents: streamed in and out in chunks, compressed, addressed by
// SHA-256.  Finished contents become a file's text through the transaction's
// tree (set_file_text); the tree never calls back here.

#include <apr_strings.h>
#include <openssl/evp.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "handles.h"

namespace ostrel::fs {

static const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

ostrel_error *load_content(ostrel_fs *filesystem, int64_t id, ContentRow &c) {
  if (id == 0) {
    c = ContentRow{kEmptySha, 0, 0};
    return nullptr;
  }
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT sha, length, chunks FROM content WHERE id=?1"));
  st.bind(1, id);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row || st.is_null(0))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld are missing",
                                static_cast<long long>(id));
  c.sha = st.text(0);
  c.length = st.int64(1);
  c.chunks = st.int64(2);
  return nullptr;
}

// Reads chunk SEQ of contents ID, decompressed, into OUT.
ostrel_error *read_chunk(ostrel_fs *filesystem, int64_t id, int64_t seq, std::string &out) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT raw_len, data FROM chunk WHERE content=?1 AND seq=?2"));
  st.bind(1, id).bind(2, seq);
  bool row;
  OSTREL_ERR(st.step(&row));
  if (!row)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld is missing",
                                static_cast<long long>(seq), static_cast<long long>(id));
  size_t raw = static_cast<size_t>(st.int64(0));
  if (raw > kChunkSize)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld is too large",
                                static_cast<long long>(seq), static_cast<long long>(id));
  out.resize(raw);
  size_t got = ZSTD_decompress(out.data(), raw, st.blob(1), st.bytes(1));
  if (ZSTD_isError(got) || got != raw)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: chunk %lld of contents %lld cannot be "
                                "decompressed",
                                static_cast<long long>(seq), static_cast<long long>(id));
  return nullptr;
}

namespace {

struct ContentReader {
  ostrel_fs *filesystem;
  int64_t id;
  int64_t chunks;
  int64_t next_seq = 0;
  std::string buf;
  size_t pos = 0;
};

}  // namespace

static ostrel_error *content_read(void *baton, char *buffer, apr_size_t *len) {
  auto *r = static_cast<ContentReader *>(baton);
  apr_size_t done = 0;
  while (done < *len) {
    if (r->pos == r->buf.size()) {
      if (r->next_seq >= r->chunks) break;
      OSTREL_ERR(read_chunk(r->filesystem, r->id, r->next_seq++, r->buf));
      r->pos = 0;
      continue;
    }
    apr_size_t n = std::min<apr_size_t>(*len - done, r->buf.size() - r->pos);
    std::memcpy(buffer + done, r->buf.data() + r->pos, n);
    r->pos += n;
    done += n;
  }
  *len = done;
  return nullptr;
}

static apr_status_t delete_reader(void *data) {
  delete static_cast<ContentReader *>(data);
  return APR_SUCCESS;
}

ostrel_stream *content_stream(ostrel_fs *filesystem, int64_t id, int64_t chunks, apr_pool_t *pool) {
  auto *r = new ContentReader{filesystem, id, chunks, 0, std::string(), 0};
  apr_pool_cleanup_register(pool, r, delete_reader, apr_pool_cleanup_null);
  ostrel_stream *s = ostrel_stream_create(r, pool);
  ostrel_stream_set_read(s, content_read);
  return s;
}

std::string hex(const unsigned char *d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

namespace {

// A stream that stores new contents for one file of a transaction.  Each full
// chunk is compressed and stored in its own short write transaction, marked
// with the transaction's id, so nothing is held whole and the write lock is
// never held for the whole upload.
struct ContentWriter {
  ostrel_fs_txn *txn;
  std::vector<std::string> segs;
  std::string buf;
  EVP_MD_CTX *sha = nullptr;
  int64_t length = 0;
  int64_t id = 0;
  int64_t seq = 0;
  bool failed = false;

  ~ContentWriter() {
    if (sha) EVP_MD_CTX_free(sha);
  }
};

}  // namespace

static ostrel_error *store_chunk(ContentWriter *w, const std::string *final_sha) {
  Store &store = w->txn->filesystem->store;
  std::string packed;
  if (!w->buf.empty()) {
    packed.resize(ZSTD_compressBound(w->buf.size()));
    size_t n = ZSTD_compress(packed.data(), packed.size(), w->buf.data(), w->buf.size(),
                             kZstdLevel);
    if (ZSTD_isError(n))
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot compress contents: %s",
                                  ZSTD_getErrorName(n));
    packed.resize(n);
  }
  OSTREL_ERR(store.fault_point("upload-chunk"));
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = [&]() -> ostrel_error * {
    Stmt st;
    if (!w->id) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO content(sha, length, chunks, txn) "
                                   "VALUES(NULL, 0, 0, ?1)"));
      st.bind(1, w->txn->id);
      OSTREL_ERR(st.run());
      w->id = store.last_insert_id();
    }
    if (!w->buf.empty()) {
      OSTREL_ERR(store.prepare(st, "INSERT INTO chunk(content, seq, raw_len, data) "
                                   "VALUES(?1, ?2, ?3, ?4)"));
      st.bind(1, w->id).bind(2, w->seq).bind(3, static_cast<int64_t>(w->buf.size()));
      st.bind_blob(4, packed.data(), packed.size());
      OSTREL_ERR(st.run());
      ++w->seq;
    }
    if (final_sha) {
      OSTREL_ERR(store.prepare(st, "UPDATE content SET sha=?1, length=?2, chunks=?3 WHERE id=?4"));
      st.bind(1, *final_sha).bind(2, w->length).bind(3, w->seq).bind(4, w->id);
      OSTREL_ERR(st.run());
    }
    return nullptr;
  }();
  if (err) {
    store.rollback();
    return err;
  }
  OSTREL_ERR(store.commit());
  w->buf.clear();
  return nullptr;
}

static ostrel_error *writer_write(void *baton, const char *data, apr_size_t *len) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot write contents: the stream or its transaction has ended");
  apr_size_t left = *len;
  const char *p = data;
  EVP_DigestUpdate(w->sha, data, *len);
  w->length += static_cast<int64_t>(*len);
  while (left) {
    size_t n = std::min(left, kChunkSize - w->buf.size());
    w->buf.append(p, n);
    p += n;
    left -= n;
    if (w->buf.size() == kChunkSize) {
      ostrel_error *err = store_chunk(w, nullptr);
      if (err) {
        w->failed = true;
        return err;
      }
    }
  }
  return nullptr;
}

static ostrel_error *writer_close(void *baton) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot finish contents: the stream or its transaction has ended");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(w->sha, digest, &dlen);
  std::string sha = hex(digest, dlen);
  if (w->length > 0 || w->id) OSTREL_ERR(store_chunk(w, &sha));
  return set_file_text(w->txn, w->segs, w->length > 0 ? w->id : 0);
}

static apr_status_t delete_writer(void *data) {
  delete static_cast<ContentWriter *>(data);
  return APR_SUCCESS;
}

ostrel_error *file_content(ostrel_fs_root *root, const char *path, int64_t *id, ContentRow &c) {
  Loc loc;
  OSTREL_ERR(file_loc(root, path, loc));
  OSTREL_ERR(content_of(root->filesystem, loc, id));
  return load_content(root->filesystem, *id, c);
}


ostrel_error *content_writer(ostrel_stream **contents, ostrel_fs_txn *txn,
                             const std::vector<std::string> &segs, apr_pool_t *pool) {
  auto *w = new ContentWriter;
  apr_pool_cleanup_register(pool, w, delete_writer, apr_pool_cleanup_null);
  w->txn = txn;
  w->segs = segs;
  w->buf.reserve(kChunkSize);
  w->sha = EVP_MD_CTX_new();
  if (!w->sha || EVP_DigestInit_ex(w->sha, EVP_sha256(), nullptr) != 1)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot start a SHA-256 digest");
  ostrel_stream *s = ostrel_stream_create(w, pool);
  ostrel_stream_set_write(s, writer_write);
  ostrel_stream_set_close(s, writer_close);
  *contents = s;
  return nullptr;
}

}  // namespace ostrel::fs
