// File contents: streamed in and out in chunks, compressed, addressed by
// SHA-256.  Finished contents become a file's text through the transaction's
// tree (set_file_text); the tree never calls back here.
//
// In a pack-format repository the bytes of each chunk go to the content
// store (packs.h) and the database keeps, per chunk, its place, its codec
// and a checksum of its stored bytes.  A small text whose file had a text
// before is stored as a delta: a zstd frame made with the previous text as
// its prefix, at most kMaxDeltaDepth deltas away from a whole version.
// Every chunk is checked before any of its bytes are handed out: the checksum
// of what was read, then the frame's own checksum of what it decodes to.
//
// A legacy-format repository keeps each chunk as a row (zstd frames without
// checksums); a read there checks the SHA-256 of the whole contents before
// handing out the first byte.

#include <apr_strings.h>
#include <openssl/evp.h>
#include <xxhash.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "handles.h"

namespace ostrel::fs {

static const char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Below this size a text is stored as it is: a frame costs more than it saves.
constexpr size_t kTinyText = 64;

std::string hex(const unsigned char *d, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
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
    c = ContentRow{kEmptySha, 0, 0, 0, 0, false};
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
  Stmt st;
  if (filesystem->format == kLegacyFormat)
    OSTREL_ERR(filesystem->store.prepare(st, "SELECT sha, length, chunks, NULL, 0 FROM content "
                                             "WHERE id=?1"));
  else
    OSTREL_ERR(filesystem->store.prepare(st, "SELECT sha, length, chunks, base, depth FROM "
                                             "content WHERE id=?1"));
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
  c.base = st.is_null(3) ? 0 : st.int64(3);
  c.depth = static_cast<int>(st.int64(4));
  c.legacy = filesystem->format == kLegacyFormat;
  if (c.length < 0 || c.chunks < 0 || (c.base && (c.base < 0 || c.base >= id)) || c.depth < 0 ||
      c.depth > kMaxDeltaDepth)
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld have an impossible record",
                                static_cast<long long>(id));
  return nullptr;
}

// The chunk record SEQ of stored contents ID.  *LEGACY_DATA receives the
// bytes of a legacy row (whose place is the row itself).
static ostrel_error *load_chunk_ref(ostrel_fs *filesystem, int64_t id, int64_t seq, ChunkRef &ref,
                                    std::string *legacy_data) {
  Stmt st;
  bool row;
  if (filesystem->format == kLegacyFormat) {
    OSTREL_ERR(filesystem->store.prepare(st, "SELECT raw_len, data FROM chunk WHERE content=?1 "
                                             "AND seq=?2"));
    st.bind(1, id).bind(2, seq);
    OSTREL_ERR(st.step(&row));
    if (!row) return chunk_damage(id, seq, "is missing");
    ref = ChunkRef{};
    ref.raw_len = st.int64(0);
    ref.codec = kCodecZstd;
    legacy_data->assign(static_cast<const char *>(st.blob(1)) ? static_cast<const char *>(st.blob(1)) : "",
                        st.bytes(1));
    return nullptr;
  }
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT raw_len, codec, pack, off, len, sum FROM pchunk "
                                           "WHERE content=?1 AND seq=?2"));
  st.bind(1, id).bind(2, seq);
  OSTREL_ERR(st.step(&row));
  if (!row) return chunk_damage(id, seq, "is missing");
  ref.raw_len = st.int64(0);
  ref.codec = static_cast<int>(st.int64(1));
  ref.place = Place{st.int64(2), st.int64(3), st.int64(4)};
  ref.sum = static_cast<uint64_t>(st.int64(5));
  if (ref.codec < kCodecRaw || ref.codec > kCodecDelta || ref.place.pack <= 0 ||
      ref.place.off < 0 || ref.place.len < 0 || ref.place.len > int64_t{2} * int64_t{kChunkSize})
    return chunk_damage(id, seq, "has an impossible record");
  return nullptr;
}

static ostrel_error *whole_text(ostrel_fs *filesystem, int64_t id, std::string &out, int depth);

// Decodes chunk SEQ of contents ID (row C) stored as REF into OUT.
static ostrel_error *decode_chunk(ostrel_fs *filesystem, int64_t id, const ContentRow &c,
                                  int64_t seq, const ChunkRef &ref, const std::string *legacy_data,
                                  std::string &out, int depth) {
  if (ref.raw_len < 0 || ref.raw_len > static_cast<int64_t>(kChunkSize))
    return chunk_damage(id, seq, "is too large");
  std::string stored;
  const std::string *bytes = legacy_data;
  if (!legacy_data) {
    OSTREL_ERR(filesystem->packs->read(ref.place, stored));
    if (sum_of(stored.data(), stored.size()) != ref.sum)
      return chunk_damage(id, seq, "does not match its checksum");
    bytes = &stored;
  }
  const size_t raw = static_cast<size_t>(ref.raw_len);
  if (ref.codec == kCodecRaw) {
    if (bytes->size() != raw) return chunk_damage(id, seq, "has the wrong length");
    if (bytes == &stored) out.swap(stored);
    else out = *bytes;
    return nullptr;
  }
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
  ChunkRef ref;
  OSTREL_ERR(load_chunk_ref(filesystem, id, 0, ref, nullptr));
  OSTREL_ERR(decode_chunk(filesystem, id, c, 0, ref, nullptr, out, depth));
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
    return decode_chunk(filesystem, id, c, seq, p->chunks[static_cast<size_t>(seq)], nullptr, out, 0);
  }
  ChunkRef ref;
  std::string legacy;
  OSTREL_ERR(load_chunk_ref(filesystem, id, seq, ref, &legacy));
  return decode_chunk(filesystem, id, c, seq, ref, c.legacy ? &legacy : nullptr, out, 0);
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

ostrel_error *next_chunk(ContentReader &r) {
  if (r.row.legacy && !r.checked) {
    r.checked = true;
    OSTREL_ERR(check_legacy(r));
    if (r.next_seq) return nullptr;
  }
  OSTREL_ERR(read_chunk(r.filesystem, r.id, r.next_seq++, r.buf, r.txn));
  r.length += static_cast<int64_t>(r.buf.size());
  if (r.length > r.row.length || (r.next_seq == r.row.chunks && r.length != r.row.length))
    return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                "Repository is damaged: contents %lld do not have their recorded "
                                "length",
                                static_cast<long long>(r.id));
  return nullptr;
}

ostrel_error *content_read(void *baton, char *buffer, apr_size_t *len) {
  auto *r = static_cast<ContentReader *>(baton);
  apr_size_t done = 0;
  while (done < *len) {
    if (r->pos == r->buf.size()) {
      if (r->next_seq >= r->row.chunks) break;
      r->buf.clear();
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
  auto *r = new ContentReader{root->filesystem, root->txn, id, c, "", 0, 0, false, "", 0};
  r->where = root->txn ? "'" + p + "' in the transaction"
                       : "'" + p + "' in revision " + std::to_string(root->rev);
  apr_pool_cleanup_register(pool, r, delete_reader, apr_pool_cleanup_null);
  ostrel_stream *s = ostrel_stream_create(r, pool);
  ostrel_stream_set_read(s, content_read);
  *contents = s;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Writing

ostrel_error *pack_end(ostrel_fs *filesystem, int64_t pack, int64_t *end) {
  // Never from an older snapshot: a writer truncates its pack to this end.
  if (filesystem->store.in_read()) OSTREL_ERR(filesystem->store.refresh_read());
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT end_off FROM pack WHERE id=?1"));
  st.bind(1, pack);
  bool row;
  OSTREL_ERR(st.step(&row));
  *end = row ? st.int64(0) : 0;
  return nullptr;
}

static ostrel_error *committed_with_sha(ostrel_fs *filesystem, const std::string &sha, int64_t *id);

// Writes the rows of TXN's pending contents.  COMMITTING: inside the commit
// step, where they are written as committed contents at once (or, when equal
// contents are committed already, not at all).
static ostrel_error *write_pending_rows(ostrel_fs_txn *txn, bool committing) {
  Store &store = txn->filesystem->store;
  Stmt st;
  for (; txn->written < txn->pending.size(); ++txn->written) {
    PendingContent &p = txn->pending[txn->written];
    // A text of one chunk was matched against committed contents when its
    // stream closed; a larger one is matched here, before its rows exist.
    if (committing && p.chunks.size() > 1) {
      int64_t same;
      OSTREL_ERR(committed_with_sha(txn->filesystem, p.row.sha, &same));
      if (same) {
        p.id = same;
        p.committed = true;
        continue;
      }
    }
    OSTREL_ERR(store.prepare(st, "INSERT INTO content(sha, length, chunks, txn, base, depth) "
                                 "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
    st.bind(1, p.row.sha).bind(2, p.row.length).bind(3, p.row.chunks);
    if (committing) st.bind_null(4); else st.bind(4, txn->id);
    if (p.row.base) st.bind(5, p.row.base); else st.bind_null(5);
    st.bind(6, int64_t{p.row.depth});
    OSTREL_ERR(st.run());
    p.id = store.last_insert_id();
    p.committed = committing;
    for (size_t seq = 0; seq < p.chunks.size(); ++seq) {
      const ChunkRef &c = p.chunks[seq];
      OSTREL_ERR(store.prepare(st, "INSERT INTO pchunk(content, seq, raw_len, codec, pack, off, "
                                   "len, sum) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
      st.bind(1, p.id).bind(2, static_cast<int64_t>(seq)).bind(3, c.raw_len);
      st.bind(4, int64_t{c.codec}).bind(5, c.place.pack).bind(6, c.place.off);
      st.bind(7, c.place.len).bind(8, static_cast<int64_t>(c.sum));
      OSTREL_ERR(st.run());
    }
  }
  return nullptr;
}

ostrel_error *write_pending(ostrel_fs_txn *txn, bool inside) {
  if (txn->written == txn->pending.size()) return nullptr;
  if (inside) return write_pending_rows(txn, true);
  Store &store = txn->filesystem->store;
  size_t before = txn->written;
  OSTREL_ERR(store.begin_write(false));
  ostrel_error *err = write_pending_rows(txn, false);
  if (!err) err = store.commit();
  else store.rollback();
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

// A stream that stores new contents for one file of a transaction.  Full
// chunks go to the transaction's pack as they fill; a text of one chunk is
// kept until the stream closes, so it can be matched against stored
// contents (and then stored not at all) or stored as a delta.
struct ContentWriter {
  ostrel_fs_txn *txn;
  std::vector<std::string> segs;
  int64_t previous = 0;  // the file's text before, a delta base candidate
  std::string buf;
  EVP_MD_CTX *sha = nullptr;
  int64_t length = 0;
  std::vector<ChunkRef> chunks;
  bool incompressible = false;  // the last chunk tried did not compress
  // Legacy format: the contents row and the chunks stored so far.
  int64_t id = 0;
  int64_t seq = 0;
  bool failed = false;

  ~ContentWriter() {
    if (sha) EVP_MD_CTX_free(sha);
  }
};

}  // namespace

// Legacy format: stores the buffered chunk as a row in its own short write
// transaction, marked with the transaction's id.
static ostrel_error *store_legacy_chunk(ContentWriter *w, const std::string *final_sha) {
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

// Encodes RAW (against BASE_TEXT when given) for storing: sets REF's codec,
// length and CRC; *BYTES points at what is to be stored (RAW itself, or
// PACKED).
static ostrel_error *encode_chunk(ostrel_fs *filesystem, const std::string &raw,
                                  const std::string *base_text, ChunkRef *ref, std::string &packed,
                                  const std::string **bytes, bool try_compress = true) {
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
  return filesystem->packs->open_appender(appender, [filesystem](int64_t pack, int64_t *end) {
    return pack_end(filesystem, pack, end);
  });
}

namespace {

// Encodes the buffered chunk (against BASE_TEXT when given) and appends it
// to the transaction's pack.
ostrel_error *store_chunk(ContentWriter *w, const std::string *base_text, ChunkRef *ref) {
  ostrel_fs *filesystem = w->txn->filesystem;
  OSTREL_ERR(filesystem->store.fault_point("upload-chunk"));
  OSTREL_ERR(open_appender(filesystem, &w->txn->appender));
  std::string packed;
  const std::string *bytes;
  // After a chunk that did not compress, the next ones of the stream are
  // stored as they are, with a new try every eighth chunk.
  const bool try_compress = !w->incompressible || w->chunks.size() % 8 == 0;
  OSTREL_ERR(encode_chunk(filesystem, w->buf, base_text, ref, packed, &bytes, try_compress));
  if (try_compress) w->incompressible = ref->codec == kCodecRaw && w->buf.size() >= kTinyText;
  OSTREL_ERR(w->txn->appender->append(bytes->data(), bytes->size(), &ref->place));
  w->buf.clear();
  return nullptr;
}

}  // namespace

// A committed contents with SHA, or 0.
static ostrel_error *committed_with_sha(ostrel_fs *filesystem, const std::string &sha, int64_t *id) {
  Stmt st;
  OSTREL_ERR(filesystem->store.prepare(st, "SELECT id FROM content WHERE sha=?1 AND txn IS NULL "
                                           "LIMIT 1"));
  st.bind(1, sha);
  bool row;
  OSTREL_ERR(st.step(&row));
  *id = row ? st.int64(0) : 0;
  return nullptr;
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
  ChunkRef ref;
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
        ChunkRef ref;
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
    return set_file_text(txn, w->segs, w->length > 0 ? w->id : 0);
  }
  int64_t id = 0;
  if (w->length > 0 && w->chunks.empty()) {
    OSTREL_ERR(finish_small(w, sha, &id));
  } else if (w->length > 0) {
    if (!w->buf.empty()) {
      ChunkRef ref;
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
  OSTREL_ERR(set_file_text(txn, w->segs, id));
  // Rows are written in batches, never one write transaction per file.
  size_t files = txn->pending.size() - txn->written;
  int64_t bytes = 0;
  for (size_t k = txn->written; k < txn->pending.size(); ++k) bytes += txn->pending[k].row.length;
  if (files >= kBatchFiles || bytes >= kBatchBytes) OSTREL_ERR(write_pending(txn, false));
  return nullptr;
}

apr_status_t delete_writer(void *data) {
  delete static_cast<ContentWriter *>(data);
  return APR_SUCCESS;
}

}  // namespace

ostrel_error *content_writer(ostrel_stream **contents, ostrel_fs_txn *txn,
                             const std::vector<std::string> &segs, int64_t previous,
                             apr_pool_t *pool) {
  auto *w = new ContentWriter;
  apr_pool_cleanup_register(pool, w, delete_writer, apr_pool_cleanup_null);
  w->txn = txn;
  w->segs = segs;
  w->previous = previous;
  // w->buf grows as needed: most texts are small.
  w->sha = EVP_MD_CTX_new();
  if (!w->sha || EVP_DigestInit_ex(w->sha, sha256_md(), nullptr) != 1)
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr, "Cannot start a SHA-256 digest");
  ostrel_stream *s = ostrel_stream_create(w, pool);
  ostrel_stream_set_write(s, writer_write);
  ostrel_stream_set_close(s, writer_close);
  *contents = s;
  return nullptr;
}

ostrel_error *convert_legacy_contents(ostrel_fs *filesystem) {
  Store &store = filesystem->store;
  std::unique_ptr<Appender> appender;
  OSTREL_ERR(open_appender(filesystem, &appender));
  Stmt rows, ins;
  OSTREL_ERR(store.prepare(rows, "SELECT c.id, k.seq, k.raw_len, k.data FROM content c JOIN chunk k "
                                 "ON k.content=c.id ORDER BY c.id, k.seq"));
  std::string raw, packed;
  while (true) {
    bool row;
    OSTREL_ERR(rows.step(&row));
    if (!row) break;
    const int64_t id = rows.int64(0), seq = rows.int64(1), raw_len = rows.int64(2);
    if (raw_len < 0 || raw_len > static_cast<int64_t>(kChunkSize))
      return chunk_damage(id, seq, "is too large");
    raw.resize(static_cast<size_t>(raw_len));
    size_t got = ZSTD_decompress(raw.data(), raw.size(), rows.blob(3), rows.bytes(3));
    if (ZSTD_isError(got) || got != raw.size()) return chunk_damage(id, seq, "cannot be decompressed");
    ChunkRef ref;
    const std::string *bytes;
    OSTREL_ERR(encode_chunk(filesystem, raw, nullptr, &ref, packed, &bytes));
    OSTREL_ERR(appender->append(bytes->data(), bytes->size(), &ref.place));
    OSTREL_ERR(store.prepare(ins, "INSERT INTO pchunk(content, seq, raw_len, codec, pack, off, "
                                  "len, sum) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"));
    ins.bind(1, id).bind(2, seq).bind(3, raw_len).bind(4, int64_t{ref.codec});
    ins.bind(5, ref.place.pack).bind(6, ref.place.off).bind(7, ref.place.len);
    ins.bind(8, static_cast<int64_t>(ref.sum));
    OSTREL_ERR(ins.run());
  }
  OSTREL_ERR(appender->sync());
  if (appender->wrote()) {
    OSTREL_ERR(store.prepare(ins, "INSERT OR REPLACE INTO pack(id, end_off) VALUES(?1, ?2)"));
    ins.bind(1, appender->pack()).bind(2, appender->end());
    OSTREL_ERR(ins.run());
  }
  return nullptr;
}

}  // namespace ostrel::fs
