/* content_store.h: the content seam of the repository filesystem.
 *
 * The bytes of file contents live in a ContentStore.  It keeps bytes only:
 * it knows nothing of files, trees or revisions.  Each stored piece is named
 * by a ContentRef (meta.h) that the store makes and only the store reads;
 * the metadata keeps the reference with the chunk's record and decides what
 * is referenced.  No place, offset or length of any backing file leaves a
 * store.
 *
 * MARKS.  A store that appends (local packs) says, through StoreMark
 * values, which of its bytes committed revisions may reference.  The
 * committing Writer records the appender's mark() in the same atomic unit as
 * the revision; a store trusts nothing after the recorded mark, so bytes a
 * killed writer or a failed commit left are dropped by the next writer.
 * A store that needs no marks (format 1, contents inside the records) has
 * wrote() false and never asks.
 *
 * DURABILITY.  Bytes are durable once sync() returned; a commit syncs its
 * appender before the commit point, so a revision never references bytes a
 * crash can lose.
 *
 * BACKUP.  copy_to(destination, snapshot) copies every byte the revisions
 * of SNAPSHOT reference (the marks it recorded), while writers go on
 * appending; bytes before a mark never change. */
#ifndef OSTREL_FS_CONTENT_STORE_H
#define OSTREL_FS_CONTENT_STORE_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "meta.h"
#include "ostrel_error.h"

namespace ostrel::fs {

/* Appends the chunks of one transaction.  REQUIRES: one thread at a time. */
class Appender {
 public:
  virtual ~Appender() = default;
  /* Stores LEN bytes and says how to find them again. */
  virtual ostrel_error *append(const void *data, size_t len, ContentRef *ref) = 0;
  /* Makes appended bytes readable by read() of the same store (not durable). */
  virtual ostrel_error *flush() = 0;
  /* Makes every appended byte durable. */
  virtual ostrel_error *sync() = 0;
  /* Drops every byte this appender stored. */
  virtual ostrel_error *discard() = 0;
  /* The mark a commit of these bytes records. */
  virtual StoreMark mark() const = 0;
  /* Whether anything was stored (and a mark is to be recorded). */
  virtual bool wrote() const = 0;
};

/* The recorded value of mark stream STREAM (0 when none is recorded),
 * read at the newest committed state. */
using MarkReader = std::function<ostrel_error *(int64_t stream, int64_t *value)>;

/* Reads the marks a snapshot recorded, for copy_to. */
using MarkList = std::function<ostrel_error *(std::vector<StoreMark> *marks)>;

/* Stored bytes lent for reading where they lie (see ContentStore::lend):
 * DATA and LEN stay valid until the object goes, which gives them back. */
class LentBytes {
 public:
  virtual ~LentBytes() = default;
  const char *data = nullptr;
  size_t len = 0;
};

/* Lent bytes that are a copy of their own, for stores that cannot lend in
 * place. */
class CopiedBytes : public LentBytes {
 public:
  std::string bytes;
};

class ContentStore {
 public:
  virtual ~ContentStore() = default;
  /* An appender for one transaction; drops what lies after its mark. */
  virtual ostrel_error *open_appender(std::unique_ptr<Appender> *out, const MarkReader &marks) = 0;
  /* Reads what REF names into OUT.  Missing or short: OSTREL_ERR_FS_CORRUPT. */
  virtual ostrel_error *read(const ContentRef &ref, std::string &out) = 0;
  /* Reads what REF names into DST, which has room for ROOM bytes; *LEN
   * receives its length.  Bytes longer than ROOM are not read (*LEN then
   * exceeds ROOM).  For readers that hand stored bytes straight to their
   * caller's buffer; the store reads them there without a copy of its own
   * where it can. */
  virtual ostrel_error *read_into(const ContentRef &ref, char *dst, size_t room, size_t *len) {
    std::string bytes;
    OSTREL_ERR(read(ref, bytes));
    *len = bytes.size();
    if (bytes.size() <= room) std::memcpy(dst, bytes.data(), bytes.size());
    return nullptr;
  }
  /* Lends what REF names, as *OUT, for reading where it lies (a local pack
   * maps it): a reader that passes the bytes on saves the copy into a buffer
   * of its own.  The store must outlive *OUT.  Missing or short:
   * OSTREL_ERR_FS_CORRUPT.  A store that cannot lend in place reads the
   * bytes into *OUT. */
  virtual ostrel_error *lend(const ContentRef &ref, std::unique_ptr<LentBytes> *out) {
    auto copy = std::make_unique<CopiedBytes>();
    OSTREL_ERR(read(ref, copy->bytes));
    copy->data = copy->bytes.data();
    copy->len = copy->bytes.size();
    *out = std::move(copy);
    return nullptr;
  }
  /* Copies what the marks of a snapshot cover into the repository at
   * DESTINATION (a directory for local stores), durably.  MARKS lists them. */
  virtual ostrel_error *copy_to(const std::string &destination, const MarkList &marks) = 0;
  /* Makes every byte stored so far durable. */
  virtual ostrel_error *sync_all() { return nullptr; }
};

/* Local pack files in the repository directory REPO_DIR (packs/pack-N):
 * append-only; an appender holds one pack exclusively (an advisory lock)
 * from its first append to its end; a mark is a pack's committed end. */
std::unique_ptr<ContentStore> make_local_packs(const std::string &repo_dir);

/* Makes the pack directory of REPO_DIR (when missing) durably. */
ostrel_error *make_packs_dir(const std::string &repo_dir);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_CONTENT_STORE_H */
