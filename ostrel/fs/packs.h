/* packs.h: the content-store seam of the repository filesystem.
 *
 * The bytes of file contents live outside the row store, in a ContentStore;
 * the database keeps, for each stored chunk, where it is (a Place), its
 * length and its checksum, and decides what is referenced.  The store only
 * keeps bytes: it knows nothing of files, trees or revisions, so another
 * store (a shared object store) can take the place of the local pack files
 * without touching the tree code.
 *
 * LOCAL PACK FILES (LocalPacks): PACKS_DIR/pack-N, append-only.  A writer
 * holds one pack exclusively (an advisory lock) from its first append to the
 * end of its transaction, so appends never interleave.  Each pack has a
 * committed end, kept in the database and moved only by the commit that
 * references the bytes before it; bytes after it are unreferenced: a writer
 * that takes the pack truncates them away first (what a killed writer or a
 * failed commit left), and an abort truncates its own.  Bytes before the
 * committed end never change, so a reader (or a backup) that knows an end
 * from a database snapshot may read up to it while writers append. */
#ifndef OSTREL_FS_PACKS_H
#define OSTREL_FS_PACKS_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_error.h"

namespace ostrel::fs {

/* Where a chunk's stored bytes are. */
struct Place {
  int64_t pack = 0;
  int64_t off = 0;
  int64_t len = 0;
};

/* Appends the chunks of one transaction.  REQUIRES: one thread at a time. */
class Appender {
 public:
  virtual ~Appender() = default;
  /* Appends LEN bytes and says where they will be. */
  virtual ostrel_error *append(const void *data, size_t len, Place *place) = 0;
  /* Hands buffered bytes to the operating system (readable, not durable). */
  virtual ostrel_error *flush() = 0;
  /* Makes every appended byte durable. */
  virtual ostrel_error *sync() = 0;
  /* Drops every byte this appender appended (the pack ends where it began). */
  virtual ostrel_error *discard() = 0;
  virtual int64_t pack() const = 0;
  /* The end of the pack after the last append. */
  virtual int64_t end() const = 0;
  /* Whether anything was appended. */
  virtual bool wrote() const = 0;
};

/* The committed end of pack PACK (0 for a pack no commit has used). */
using CommittedEnd = std::function<ostrel_error *(int64_t pack, int64_t *end)>;

class ContentStore {
 public:
  virtual ~ContentStore() = default;
  /* Takes a pack for appending; truncates what lies after its committed end. */
  virtual ostrel_error *open_appender(std::unique_ptr<Appender> *out, const CommittedEnd &end) = 0;
  /* Reads the LEN bytes at PLACE into OUT.  Missing or short: OSTREL_ERR_FS_CORRUPT. */
  virtual ostrel_error *read(const Place &place, std::string &out) = 0;
  /* The files holding contents, relative to the repository's directory
   * (for copying a repository), with their numbers. */
  virtual ostrel_error *files(std::vector<std::pair<int64_t, std::string>> *files) = 0;
};

/* Local pack files in DIR; REPO_NAME names the repository in messages. */
std::unique_ptr<ContentStore> make_local_packs(const std::string &dir,
                                               const std::string &repo_name);

/* The pack-file directory's name inside a repository directory. */
inline constexpr const char kPacksDir[] = "packs";

/* Makes DIR (when missing) durably. */
ostrel_error *make_packs_dir(const std::string &dir);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_PACKS_H */
