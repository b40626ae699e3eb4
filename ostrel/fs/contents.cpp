// File contents: streamed in and out in chunks, compressed, addressed by
// SHA-256.  Finished contents become a file's text through the transaction's
// tree (set_file_text); the tree never calls back here.
//
// In a format-2 repository the bytes of each chunk go to the content store
// (content_store.h) and the metadata keeps, per chunk, the store's
// reference, its codec and a checksum of its stored bytes.  A small text whose file had a text
// before is stored as a delta: a zstd frame made with the previous text as
// its prefix, at most kMaxDeltaDepth deltas away from a whole version.
// Every chunk is checked before any of its bytes are handed out: the checksum
// of what was read, then the frame's own checksum of what it decodes to.
//
// A format-1 repository keeps each chunk inside the metadata records (zstd
// frames without checksums; its own content store reads them); a read there
// checks the SHA-256 of the whole contents before handing out the first
// byte.

#include <apr_strings.h>
#include <openssl/evp.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "handles.h"
#include "sqlite/sqlite_meta.h"

namespace ostrel::fs {

static const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Below this size a text is stored as it is: a frame costs more than it saves.
constexpr size_t kTinyText = 64;

std::string hex(const unsigned char *d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[d[i] >> 4];
    out[2 * i + 1] = digits[d[i] & 15];
  }
  return out;
}

// The checksum of a chunk's stored bytes: 64-bit XXH3, fast enough that
// checking every read costs little next to the read itself.
static uint64_t sum_of(const void *data, size_t len) { return XXH3_64bits(data, len); }

static ostrel_error *chunk_damage(int64_t id, int64_t seq, const char *what) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: chunk %lld of contents %lld %s",
                              static_cast<long long>(seq), static_cast<long long>(id), what);
}

static const PendingContent *pending_of(ostrel_fs_txn *txn, int64_t id) {
  if (id >= 0 || !txn) return nullptr;
  size_t k = static_cast<size_t>(-id - 1);
  return k < txn->pending.size() ? &txn->pending[k] : nullptr;
}

ostrel_error *load_content(ostrel_fs *filesystem, int64_t id, ContentRow &c, ostrel_fs_txn *txn) {
  if (id == 0) {
    c = ContentRow{kEmptySha, 0, 0, 0, 0, filesystem->format == kLegacyFormat};
    return nullptr;
  }
  if (id < 0) {
    const PendingContent *p = pending_of(txn, id);
    if (!p)
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Contents uploaded by the transaction are missing");
    c = p->row;
    return nullptr;
  }
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  bool found;
  OSTREL_ERR(s->content(id, c, &found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld are missing",
                                static_cast<long long>(id));
  if (c.length < 0 || c.chunks < 0 || (c.base && (c.base < 0 || c.base >= id)) || c.depth < 0 ||
      c.depth > kMaxDeltaDepth)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld have an impossible record",
                                static_cast<long long>(id));
  return nullptr;
}

// The chunk record SEQ of stored contents ID.
static ostrel_error *load_chunk_ref(ostrel_fs *filesystem, int64_t id, int64_t seq, ChunkRow &ref) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  bool found;
  OSTREL_ERR(s->chunk(id, seq, ref, &found));
  if (!found) return chunk_damage(id, seq, "is missing");
  if (ref.codec < kCodecRaw || ref.codec > kCodecDelta || ref.raw_len < 0)
    return chunk_damage(id, seq, "has an impossible record");
  return nullptr;
}

static ostrel_error *whole_text(ostrel_fs *filesystem, int64_t id, std::string &out, int depth);

// Decodes chunk SEQ of contents ID (row C) stored as REF into OUT.
static ostrel_error *decode_chunk(ostrel_fs *filesystem, int64_t id, const ContentRow &c,
                                  int64_t seq, const ChunkRow &ref, std::string &out, int depth) {
  if (ref.raw_len < 0 || ref.raw_len > static_cast<int64_t>(kChunkSize))
    return chunk_damage(id, seq, "is too large");
  const size_t raw = static_cast<size_t>(ref.raw_len);
  if (ref.codec == kCodecRaw) {
    // Straight into OUT, whose buffer the reader keeps from chunk to chunk:
    // a new buffer per chunk cost a fresh megabyte of pages each time.
    OSTREL_ERR(filesystem->contents->read(ref.ref, out));
    const char *what = nullptr;
    if (ref.has_sum && sum_of(out.data(), out.size()) != ref.sum)
      what = "does not match its checksum";
    else if (out.size() != raw)
      what = "has the wrong length";
    if (what) {
      out.clear();
      return chunk_damage(id, seq, what);
    }
    return nullptr;
  }
  std::string stored;
  OSTREL_ERR(filesystem->contents->read(ref.ref, stored));
  if (ref.has_sum && sum_of(stored.data(), stored.size()) != ref.sum)
    return chunk_damage(id, seq, "does not match its checksum");
  const std::string *bytes = &stored;
  std::string base;
  if (ref.codec == kCodecDelta) {
    if (!c.base || depth >= kMaxDeltaDepth)
      return chunk_damage(id, seq, "is a delta without a usable base");
    OSTREL_ERR(whole_text(filesystem, c.base, base, depth + 1));  // uses the context too
  }
  if (!filesystem->dctx) filesystem->dctx = ZSTD_createDCtx();
  ZSTD_DCtx_reset(filesystem->dctx, ZSTD_reset_session_and_parameters);
  if (ref.codec == kCodecDelta) ZSTD_DCtx_refPrefix(filesystem->dctx, base.data(), base.size());
  out.resize(raw);
  size_t got = ZSTD_decompressDCtx(filesystem->dctx, out.data(), raw, bytes->data(), bytes->size());
  if (ZSTD_isError(got) || got != raw) {
    out.clear();
    return chunk_damage(id, seq, "cannot be decompressed");
  }
  return nullptr;
}

// The whole text of stored contents ID (which must fit one chunk: only such
// contents are delta bases), from the cache when it is there.
static ostrel_error *whole_text(ostrel_fs *filesystem, int64_t id, std::string &out, int depth) {
  for (auto &[cid, text] : filesystem->bases)
    if (cid == id) {
      out = text;
      return nullptr;
    }
  ContentRow c;
  OSTREL_ERR(load_content(filesystem, id, c));
  if (c.chunks != 1 || c.legacy)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld are a delta base but not "
                                "one chunk",
                                static_cast<long long>(id));
  ChunkRow ref;
  OSTREL_ERR(load_chunk_ref(filesystem, id, 0, ref));
  OSTREL_ERR(decode_chunk(filesystem, id, c, 0, ref, out, depth));
  if (filesystem->bases.size() >= 8) filesystem->bases.erase(filesystem->bases.begin());
  filesystem->bases.emplace_back(id, out);
  return nullptr;
}

ostrel_error *read_chunk(ostrel_fs *filesystem, int64_t id, int64_t seq, std::string &out,
                         ostrel_fs_txn *txn) {
  ContentRow c;
  OSTREL_ERR(load_content(filesystem, id, c, txn));
  if (seq < 0 || seq >= c.chunks) return chunk_damage(id, seq, "is missing");
  if (const PendingContent *p = pending_of(txn, id)) {
    if (txn->appender) OSTREL_ERR(txn->appender->flush());
    return decode_chunk(filesystem, id, c, seq, p->chunks[static_cast<size_t>(seq)], out, 0);
  }
  ChunkRow ref;
  OSTREL_ERR(load_chunk_ref(filesystem, id, seq, ref));
  return decode_chunk(filesystem, id, c, seq, ref, out, 0);
}

// ---------------------------------------------------------------------------
// Reading

ostrel_error *digest_chunks(ostrel_fs *filesystem, int64_t id, int64_t chunks, ostrel_fs_txn *txn,
                            std::string *sha, int64_t *length, std::string &last) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot start a SHA-256 digest");
  *length = 0;
  for (int64_t seq = 0; seq < chunks; ++seq) {
    OSTREL_ERR(read_chunk(filesystem, id, seq, last, txn));
    EVP_DigestUpdate(ctx.get(), last.data(), last.size());
    *length += static_cast<int64_t>(last.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &dlen);
  *sha = hex(digest, dlen);
  return nullptr;
}

namespace {

struct ContentReader {
  ostrel_fs *filesystem;
  ostrel_fs_txn *txn;
  int64_t id;
  ContentRow row;
  std::string where;  // "'/path' in revision N"
  int64_t next_seq = 0;
  int64_t length = 0;
  bool checked = false;  // legacy contents: the SHA-256 of the whole was checked
  std::string buf;
  size_t pos = 0;
  std::unique_ptr<LentBytes> lent;  // what the last lend handed out
};

ostrel_error *where_damaged(ostrel_error *err, const ContentReader &r) {
  if (!err || err->apr_err != OSTREL_ERR_FS_CORRUPT) return err;
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, err, "Cannot read %s", r.where.c_str());
}

// Legacy rows carry no checksum of their own: the whole contents are
// hashed once before the first byte is handed out.
ostrel_error *check_legacy(ContentReader &r) {
  std::string sha, chunk;
  int64_t length = 0;
  OSTREL_ERR(digest_chunks(r.filesystem, r.id, r.row.chunks, r.txn, &sha, &length, chunk));
  if (length != r.row.length || sha != r.row.sha)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld do not match their SHA-256",
                                static_cast<long long>(r.id));
  if (r.row.chunks == 1) {  // keep it: no second read
    r.buf = std::move(chunk);
    r.next_seq = 1;
    r.length = length;
  }
  return nullptr;
}

// Counts the chunk just read, of LEN bytes: the contents may not grow past
// their recorded length, nor end short of it.  A chunk that fails is not
// counted: a later read stops at it again instead of going on past it.
ostrel_error *count_chunk(ContentReader &r, size_t len) {
  const int64_t length = r.length + static_cast<int64_t>(len);
  if (length > r.row.length || (r.next_seq + 1 == r.row.chunks && length != r.row.length))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld do not have their recorded "
                                "length",
                                static_cast<long long>(r.id));
  r.next_seq++;
  r.length = length;
  return nullptr;
}

ostrel_error *next_chunk(ContentReader &r) {
  if (r.row.legacy && !r.checked) {
    OSTREL_ERR(check_legacy(r));  // until it passes, every read checks again
    r.checked = true;
    if (r.next_seq) return nullptr;
  }
  OSTREL_ERR(read_chunk(r.filesystem, r.id, r.next_seq, r.buf, r.txn));
  return count_chunk(r, r.buf.size());
}

// The checks the next chunk, stored as it is (REF) and read as the N bytes
// at DATA without the reader's buffer, passes before its bytes count as
// read.
ostrel_error *accept_raw_chunk(ContentReader &r, const ChunkRow &ref, const char *data, size_t n) {
  if (n != static_cast<size_t>(ref.raw_len))
    return chunk_damage(r.id, r.next_seq, "has the wrong length");
  if (ref.has_sum && sum_of(data, n) != ref.sum)
    return chunk_damage(r.id, r.next_seq, "does not match its checksum");
  return count_chunk(r, n);
}

// Reads the next chunk straight into DST, which has room for ROOM bytes,
// when it is stored as it is (the common case of large files that do not
// compress) and fits: the bytes then skip the reader's own buffer.  *GOT is
// its length, or 0 when it was not read that way (it is then read through
// the buffer).  The same checks as through the buffer come before the
// bytes count as read.
ostrel_error *next_chunk_direct(ContentReader &r, char *dst, size_t room, size_t *got) {
  *got = 0;
  if (r.row.legacy || pending_of(r.txn, r.id)) return nullptr;
  ChunkRow ref;
  OSTREL_ERR(load_chunk_ref(r.filesystem, r.id, r.next_seq, ref));
  if (ref.codec != kCodecRaw || ref.raw_len <= 0 || static_cast<uint64_t>(ref.raw_len) > room)
    return nullptr;
  size_t n = 0;
  OSTREL_ERR(r.filesystem->contents->read_into(ref.ref, dst, room, &n));
  OSTREL_ERR(accept_raw_chunk(r, ref, dst, n));
  *got = n;
  return nullptr;
}

// Reads asking for less than this go through the reader's buffer: a small
// request rarely holds a whole chunk.  Chunks shorter than this are not
// lent in place either: a mapping costs more than the copy it saves.
constexpr apr_size_t kDirectRead = 64 * 1024;

// Lends the next chunk where the store keeps it, when it is stored as it is
// and long enough to be worth it, in a revision (a transaction's own bytes
// may still be cut away when it ends).  *GOT is its length, or 0 when it was
// not lent (it is then read through the buffer).  The same checks as
// through the buffer come before the bytes count as read.
ostrel_error *next_chunk_lent(ContentReader &r, const char **data, size_t *got) {
  *got = 0;
  if (r.row.legacy || r.txn) return nullptr;
  ChunkRow ref;
  OSTREL_ERR(load_chunk_ref(r.filesystem, r.id, r.next_seq, ref));
  if (ref.codec != kCodecRaw || ref.raw_len < static_cast<int64_t>(kDirectRead)) return nullptr;
  std::unique_ptr<LentBytes> lent;
  OSTREL_ERR(r.filesystem->contents->lend(ref.ref, &lent));
  OSTREL_ERR(accept_raw_chunk(r, ref, lent->data, lent->len));
  *data = lent->data;
  *got = lent->len;
  r.lent = std::move(lent);
  return nullptr;
}

ostrel_error *content_lend(void *baton, char * /*buffer*/, apr_size_t /*room*/, const char **data,
                           apr_size_t *len) {
  auto *r = static_cast<ContentReader *>(baton);
  r->lent.reset();
  while (r->pos == r->buf.size()) {
    if (r->next_seq >= r->row.chunks) {
      *data = r->buf.data();
      *len = 0;
      return nullptr;
    }
    size_t got = 0;
    ostrel_error *err = next_chunk_lent(*r, data, &got);
    if (err) return where_damaged(err, *r);
    if (got) {
      *len = got;
      return nullptr;
    }
    r->pos = 0;
    err = next_chunk(*r);
    if (err) {
      r->buf.clear();
      return where_damaged(err, *r);
    }
  }
  *data = r->buf.data() + r->pos;
  *len = r->buf.size() - r->pos;
  r->pos = r->buf.size();
  return nullptr;
}

ostrel_error *content_read(void *baton, char *buffer, apr_size_t *len) {
  auto *r = static_cast<ContentReader *>(baton);
  r->lent.reset();
  apr_size_t done = 0;
  while (done < *len) {
    if (r->pos == r->buf.size()) {
      if (r->next_seq >= r->row.chunks) break;
      if (*len - done >= kDirectRead) {
        size_t got = 0;
        ostrel_error *err = next_chunk_direct(*r, buffer + done, *len - done, &got);
        if (err) return where_damaged(err, *r);
        if (got) {
          done += got;
          continue;
        }
      }
      // The buffer keeps its size: the next chunk (as long, but the last)
      // is read over it, where resizing up from empty first wrote a
      // megabyte of zeros per chunk.
      r->pos = 0;
      ostrel_error *err = next_chunk(*r);
      if (err) {
        r->buf.clear();
        return where_damaged(err, *r);
      }
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

// Gives back what was lent last, so that a closed stream holds no mapping.
ostrel_error *content_close(void *baton) {
  static_cast<ContentReader *>(baton)->lent.reset();
  return nullptr;
}

apr_status_t delete_reader(void *data) {
  delete static_cast<ContentReader *>(data);
  return APR_SUCCESS;
}

}  // namespace

ostrel_error *file_content(ostrel_fs_root *root, const char *path, int64_t *id, ContentRow &c) {
  Loc loc;
  OSTREL_ERR(file_loc(root, path, loc));
  OSTREL_ERR(content_of(root->filesystem, loc, id));
  return load_content(root->filesystem, *id, c, root->txn);
}

ostrel_error *file_stream(ostrel_stream **contents, ostrel_fs_root *root, const char *path,
                          apr_pool_t *pool) {
  int64_t id;
  ContentRow c;
  OSTREL_ERR(file_content(root, path, &id, c));
  std::vector<std::string> segs;
  OSTREL_ERR(parse_path(path, segs));
  std::string p = join_path(segs, segs.size());
  auto *r = new ContentReader{root->filesystem, root->txn, id, c, "", 0, 0, false, "", 0, nullptr};
  r->where = root->txn ? "'" + p + "' in the transaction"
                       : "'" + p + "' in revision " + std::to_string(root->rev);
  apr_pool_cleanup_register(pool, r, delete_reader, apr_pool_cleanup_null);
  ostrel_stream *s = ostrel_stream_create(r, pool);
  ostrel_stream_set_read(s, content_read);
  ostrel_stream_set_lend(s, content_lend);
  ostrel_stream_set_close(s, content_close);
  *contents = s;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Writing

ostrel_error *store_mark(ostrel_fs *filesystem, int64_t stream, int64_t *value) {
  // Never from an older snapshot: an appender drops what lies after it.
  return in_writer(filesystem, false,
                   [&](Writer &w) { return w.store_mark(stream, value); });
}

static ostrel_error *committed_with_sha(ostrel_fs *filesystem, const std::string &sha, int64_t *id);

// Records TXN's pending contents in WRITER.  COMMITTING: inside the commit
// step, where they are recorded as committed contents at once (or, when
// equal contents are committed already, not at all).
static ostrel_error *write_pending_rows(ostrel_fs_txn *txn, Writer &writer, bool committing) {
  for (; txn->written < txn->pending.size(); ++txn->written) {
    PendingContent &p = txn->pending[txn->written];
    // A text of one chunk was matched against committed contents when its
    // stream closed; a larger one is matched here, before its record exists.
    if (committing && p.chunks.size() > 1) {
      int64_t same;
      OSTREL_ERR(writer.reads().content_by_sha(p.row.sha, &same));
      if (same) {
        p.id = same;
        p.committed = true;
        continue;
      }
    }
    OSTREL_ERR(writer.add_content(p.row, p.chunks, committing ? 0 : txn->id, &p.id));
    p.committed = committing;
  }
  return nullptr;
}

ostrel_error *write_pending(ostrel_fs_txn *txn, Writer *inside) {
  if (txn->written == txn->pending.size()) return nullptr;
  if (inside) return write_pending_rows(txn, *inside, true);
  size_t before = txn->written;
  ostrel_error *err = in_writer(txn->filesystem, false, [txn](Writer &w) {
    return write_pending_rows(txn, w, false);
  });
  if (err) {
    for (size_t k = before; k < txn->pending.size(); ++k) {
      txn->pending[k].id = 0;
      txn->pending[k].committed = false;
    }
    txn->written = before;
  }
  return err;
}

ostrel_error *written_content(ostrel_fs_txn *txn, int64_t id, int64_t *out, bool *committed) {
  *committed = false;
  if (id >= 0) {
    *out = id;
    return nullptr;
  }
  const PendingContent *p = pending_of(txn, id);
  if (!p || !p->id)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Contents uploaded by the transaction are missing");
  *out = p->id;
  *committed = p->committed;
  return nullptr;
}

namespace {

// SHA-256, looked up once: looking it up by name for every file cost more
// than hashing a small file.  Kept for the life of the process.
const EVP_MD *sha256_md() {
  static EVP_MD *fetched = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  return fetched ? fetched : EVP_sha256();
}

// One digest context kept per thread between content streams: making and
// freeing one for every file cost as much as hashing a small file.
struct SpareDigest {
  EVP_MD_CTX *ctx = nullptr;
  ~SpareDigest() { EVP_MD_CTX_free(ctx); }
};
thread_local SpareDigest spare_digest;

EVP_MD_CTX *take_digest() {
  EVP_MD_CTX *ctx = spare_digest.ctx;
  spare_digest.ctx = nullptr;
  return ctx ? ctx : EVP_MD_CTX_new();
}

void give_back_digest(EVP_MD_CTX *ctx) {
  if (!spare_digest.ctx) spare_digest.ctx = ctx;
  else EVP_MD_CTX_free(ctx);
}

// A stream that stores new contents for one file of a transaction.  Full
// chunks go to the transaction's pack as they fill; a text of one chunk is
// kept until the stream closes, so it can be matched against stored
// contents (and then stored not at all) or stored as a delta.
struct ContentWriter {
  ostrel_fs_txn *txn;
  std::string path;          // the file, as the caller named it
  MNode *file = nullptr;     // its node, at tree generation GENERATION
  uint64_t generation = 0;
  int64_t previous = 0;  // the file's text before, a delta base candidate
  std::string buf;
  EVP_MD_CTX *sha = nullptr;
  int64_t length = 0;
  std::vector<ChunkRow> chunks;
  bool incompressible = false;  // the last chunk tried did not compress
  // Legacy format: the contents row and the chunks stored so far.
  int64_t id = 0;
  int64_t seq = 0;
  bool failed = false;

  ~ContentWriter() {
    if (sha) give_back_digest(sha);
  }
};

}  // namespace

// Legacy format: stores the buffered chunk as a row in its own short write
// transaction, marked with the transaction's id.
static ostrel_error *store_legacy_chunk(ContentWriter *w, const std::string *final_sha) {
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
  OSTREL_ERR(fault_point("upload-chunk"));
  ostrel_fs *filesystem = w->txn->filesystem;
  RecordFinal final;
  if (final_sha) final = RecordFinal{*final_sha, w->length, w->seq + (w->buf.empty() ? 0 : 1)};
  renew(filesystem);
  OSTREL_ERR(record_upload(*filesystem->meta, w->txn->id, &w->id, w->seq,
                           w->buf.empty() ? nullptr : &packed,
                           static_cast<int64_t>(w->buf.size()), final_sha ? &final : nullptr));
  if (!w->buf.empty()) ++w->seq;
  w->buf.clear();
  return nullptr;
}

ostrel_error *encode_chunk(ostrel_fs *filesystem, const std::string &raw,
                           const std::string *base_text, ChunkRow *ref, std::string &packed,
                           const std::string **bytes, bool try_compress) {
  int codec = kCodecRaw;
  if (raw.size() >= kTinyText && try_compress) {
    if (!filesystem->cctx) filesystem->cctx = ZSTD_createCCtx();
    ZSTD_CCtx *cctx = filesystem->cctx;
    ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kZstdLevel);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
    if (base_text) ZSTD_CCtx_refPrefix(cctx, base_text->data(), base_text->size());
    packed.resize(ZSTD_compressBound(raw.size()));
    size_t n = ZSTD_compress2(cctx, packed.data(), packed.size(), raw.data(), raw.size());
    if (ZSTD_isError(n))
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot compress contents: %s",
                                  ZSTD_getErrorName(n));
    packed.resize(n);
    // Compression that saves less than a sixteenth is not worth decoding.
    if (n + raw.size() / 16 < raw.size()) codec = base_text ? kCodecDelta : kCodecZstd;
  }
  *bytes = codec == kCodecRaw ? &raw : &packed;
  ref->raw_len = static_cast<int64_t>(raw.size());
  ref->codec = codec;
  ref->sum = sum_of((*bytes)->data(), (*bytes)->size());
  return nullptr;
}

static ostrel_error *open_appender(ostrel_fs *filesystem, std::unique_ptr<Appender> *appender) {
  if (*appender) return nullptr;
  return filesystem->contents->open_appender(appender, [filesystem](int64_t stream, int64_t *value) {
    return store_mark(filesystem, stream, value);
  });
}

namespace {

// Encodes the buffered chunk (against BASE_TEXT when given) and appends it
// to the transaction's pack.
ostrel_error *store_chunk(ContentWriter *w, const std::string *base_text, ChunkRow *ref) {
  ostrel_fs *filesystem = w->txn->filesystem;
  OSTREL_ERR(fault_point("upload-chunk"));
  OSTREL_ERR(open_appender(filesystem, &w->txn->appender));
  std::string packed;
  const std::string *bytes;
  // After a chunk that did not compress, the next ones of the stream are
  // stored as they are, with a new try every eighth chunk.
  const bool try_compress = !w->incompressible || w->chunks.size() % 8 == 0;
  OSTREL_ERR(encode_chunk(filesystem, w->buf, base_text, ref, packed, &bytes, try_compress));
  if (try_compress) w->incompressible = ref->codec == kCodecRaw && w->buf.size() >= kTinyText;
  OSTREL_ERR(w->txn->appender->append(bytes->data(), bytes->size(), &ref->ref));
  w->buf.clear();
  return nullptr;
}

}  // namespace

// A committed contents with SHA, or 0.
static ostrel_error *committed_with_sha(ostrel_fs *filesystem, const std::string &sha, int64_t *id) {
  Snapshot *s;
  OSTREL_ERR(snap(filesystem, &s));
  return s->content_by_sha(sha, id);
}

namespace {

// Finishes a text of at most one chunk: stored contents with the same
// SHA-256 are used as they are; otherwise it is stored, as a delta against
// the file's previous text when that is short enough a chain.
ostrel_error *finish_small(ContentWriter *w, const std::string &sha, int64_t *id) {
  ostrel_fs *filesystem = w->txn->filesystem;
  ostrel_fs_txn *txn = w->txn;
  auto same = txn->pending_by_sha.find(sha);
  if (same != txn->pending_by_sha.end()) {
    *id = same->second;
    return nullptr;
  }
  OSTREL_ERR(committed_with_sha(filesystem, sha, id));
  if (*id) return nullptr;
  PendingContent p;
  p.row.sha = sha;
  p.row.length = w->length;
  p.row.chunks = 1;
  std::string base_text;
  bool delta = false;
  if (w->previous > 0 && w->buf.size() >= kTinyText) {
    ContentRow prev;
    OSTREL_ERR(load_content(filesystem, w->previous, prev));
    if (!prev.legacy && prev.chunks == 1 && prev.depth < kMaxDeltaDepth) {
      OSTREL_ERR(whole_text(filesystem, w->previous, base_text, 0));
      delta = true;
      p.row.base = w->previous;
      p.row.depth = prev.depth + 1;
    }
  }
  ChunkRow ref;
  OSTREL_ERR(store_chunk(w, delta ? &base_text : nullptr, &ref));
  if (ref.codec != kCodecDelta) {
    p.row.base = 0;
    p.row.depth = 0;
  }
  p.chunks.push_back(ref);
  txn->pending.push_back(std::move(p));
  *id = -static_cast<int64_t>(txn->pending.size());
  txn->pending_by_sha[sha] = *id;
  return nullptr;
}

ostrel_error *writer_write(void *baton, const char *data, apr_size_t *len) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot write contents: the stream or its transaction has ended");
  apr_size_t left = *len;
  const char *p = data;
  EVP_DigestUpdate(w->sha, data, *len);
  w->length += static_cast<int64_t>(*len);
  const bool legacy = w->txn->filesystem->format == kLegacyFormat;
  while (left) {
    size_t n = std::min(left, kChunkSize - w->buf.size());
    w->buf.append(p, n);
    p += n;
    left -= n;
    // A full chunk is stored once more follows, so a text of exactly one
    // chunk still takes the small path.
    if (w->buf.size() == kChunkSize && (left || legacy)) {
      ostrel_error *err;
      if (legacy) {
        err = store_legacy_chunk(w, nullptr);
      } else {
        ChunkRow ref;
        err = store_chunk(w, nullptr, &ref);
        if (!err) w->chunks.push_back(ref);
      }
      if (err) {
        w->failed = true;
        return err;
      }
    }
  }
  return nullptr;
}

// The bytes of TXN's pending contents that have no rows yet, counted on
// from the last count while no rows were written since.
int64_t unwritten_bytes(ostrel_fs_txn *txn) {
  auto &u = txn->unwritten;
  if (u.written != txn->written || u.counted > txn->pending.size()) u = {txn->written, txn->written, 0};
  for (; u.counted < txn->pending.size(); ++u.counted) u.bytes += txn->pending[u.counted].row.length;
  return u.bytes;
}

ostrel_error *writer_close(void *baton) {
  auto *w = static_cast<ContentWriter *>(baton);
  if (w->failed || w->txn->done)
    return ostrel_error_create(OSTREL_ERR_FS_TXN_DEAD, nullptr,
                               "Cannot finish contents: the stream or its transaction has ended");
  w->failed = true;  // a stream is closed once
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(w->sha, digest, &dlen);
  std::string sha = hex(digest, dlen);
  ostrel_fs_txn *txn = w->txn;
  if (txn->filesystem->format == kLegacyFormat) {
    if (w->length > 0 || w->id) OSTREL_ERR(store_legacy_chunk(w, &sha));
    return set_file_text(txn, w->path, w->file, w->generation, w->length > 0 ? w->id : 0);
  }
  int64_t id = 0;
  if (w->length > 0 && w->chunks.empty()) {
    OSTREL_ERR(finish_small(w, sha, &id));
  } else if (w->length > 0) {
    if (!w->buf.empty()) {
      ChunkRow ref;
      OSTREL_ERR(store_chunk(w, nullptr, &ref));
      w->chunks.push_back(ref);
    }
    PendingContent p;
    p.row.sha = sha;
    p.row.length = w->length;
    p.row.chunks = static_cast<int64_t>(w->chunks.size());
    p.chunks = std::move(w->chunks);
    txn->pending.push_back(std::move(p));
    id = -static_cast<int64_t>(txn->pending.size());
  }
  OSTREL_ERR(set_file_text(txn, w->path, w->file, w->generation, id));
  // Rows are written in batches, never one write transaction per file.
  size_t files = txn->pending.size() - txn->written;
  if (files >= kBatchFiles || unwritten_bytes(txn) >= kBatchBytes)
    OSTREL_ERR(write_pending(txn, nullptr));
  return nullptr;
}

apr_status_t delete_writer(void *data) {
  delete static_cast<ContentWriter *>(data);
  return APR_SUCCESS;
}

}  // namespace

ostrel_error *content_writer(ostrel_stream **contents, ostrel_fs_txn *txn, const char *path,
                             MNode *file, int64_t previous, apr_pool_t *pool) {
  auto *w = new ContentWriter;
  apr_pool_cleanup_register(pool, w, delete_writer, apr_pool_cleanup_null);
  w->txn = txn;
  w->path = path;
  w->file = file;
  w->generation = txn->tree_generation;
  w->previous = previous;
  // w->buf grows as needed: most texts are small.
  w->sha = take_digest();
  if (!w->sha || EVP_DigestInit_ex(w->sha, sha256_md(), nullptr) != 1)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot start a SHA-256 digest");
  ostrel_stream *s = ostrel_stream_create(w, pool);
  ostrel_stream_set_write(s, writer_write);
  ostrel_stream_set_close(s, writer_close);
  *contents = s;
  return nullptr;
}

}  // namespace ostrel::fs
