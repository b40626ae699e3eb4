/* damage_for_tests.h: typed damage to a repository's stored records and
 * contents, and a count of what commits left behind, for tests only.
 *
 * Tests of verify and of the checks every read makes damage a repository
 * and look at what comes out.  They say what to damage in the words of the
 * seams (a revision, a node record, a changed-path row, a directory entry,
 * a chunk of contents), never in the layout of one implementation: each
 * implementation of the seams carries its own Damage (sqlite/, postgres/,
 * memory/), so one table of damage runs over every one of them, and no
 * test outside those folders knows how records are kept.
 *
 * Every operation changes committed data in place, behind the back of open
 * handles: open a new handle to see the damage.  An operation that cannot
 * apply to an implementation (its directory versions do not chain) returns
 * OSTREL_ERR_UNSUPPORTED; one that finds nothing to damage returns
 * OSTREL_ERR_MALFUNCTION naming what it looked for, so that a test never
 * passes on damage that did not happen.  Not part of any installed program.
 *
 * Where an implementation keeps several records in one encoded record (the
 * local store's format 3: a directory's entries in listing chunks, a
 * revision's changed paths in one row), the operations on those records
 * decode it, change the record they name and encode it again, so that the
 * same damage reaches every format; damage_listing and
 * damage_changed_paths damage the encoding itself and are
 * OSTREL_ERR_UNSUPPORTED where nothing is encoded. */
#ifndef OSTREL_FS_DAMAGE_FOR_TESTS_H
#define OSTREL_FS_DAMAGE_FOR_TESTS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "meta.h"
#include "ostrel_error.h"
#include "ostrel_fs.h"

namespace ostrel::fs {

/* What the stores hold, and what commits and transactions left in them. */
struct Counts {
  int64_t transactions = 0;         // transactions still recorded as open
  int64_t unfinished_contents = 0;  // content records still marked with a transaction
  int64_t stray_chunks = 0;         // chunk records whose content record is gone
  int64_t chunks = 0;               // chunk records in all
  int64_t unmarked_bytes = 0;       // stored bytes past the committed marks (local packs)
  int64_t nodes = 0;                // node records
  int64_t contents = 0;             // content records, committed or not
  int64_t deltas = 0;               // content records stored as a delta against a base
  int64_t deepest_delta = 0;        // the longest chain of deltas
  int64_t stored_bytes = 0;         // bytes the chunk records name, as stored
  int64_t held_bytes = 0;           // bytes the content store holds, named or not
};

class Damage {
 public:
  virtual ~Damage() = default;

  // -- records
  /* Revision REV's record names ROOT as its root node. */
  virtual ostrel_error *set_revision_root(ostrel_revnum rev, int64_t root) = 0;
  /* Row PATH of revision REV's changed paths becomes ROW (ROW.path may
   * differ: the row moves); in an encoded record of the revision's changed
   * paths, ROW takes the place of PATH's entry. */
  virtual ostrel_error *replace_changed_path(ostrel_revnum rev, const std::string &path,
                                             const ChangedPath &row) = 0;
  virtual ostrel_error *add_changed_path(ostrel_revnum rev, const ChangedPath &row) = 0;
  /* The record of node ROW.id takes every field of ROW but its directory
   * version (pred 0: none). */
  virtual ostrel_error *rewrite_node(const NodeRow &row) = 0;
  /* Every stored entry called NAME, in every version of every directory
   * (rows and entries of listing chunks alike), gets kind KIND, and child
   * CHILD when one is given; a tombstone stays one unless CHILD is given. */
  virtual ostrel_error *rewrite_entries(const std::string &name, std::optional<int64_t> child,
                                        int64_t kind) = 0;
  /* Every directory version that is kept as changes to an older one names
   * itself as that older one (format 3: also the keys whose listing is in
   * chunks). */
  virtual ostrel_error *loop_directory_versions() = 0;
  /* Every recorded node origin of revision FROM says TO. */
  virtual ostrel_error *move_origins(ostrel_revnum from, ostrel_revnum to) = 0;
  virtual ostrel_error *forget_origins() = 0;
  /* The record of committed contents CONTENT says SHA (hex). */
  virtual ostrel_error *set_content_sha(int64_t content, const std::string &sha) = 0;
  /* Chunk SEQ of CONTENT says it decodes to RAW_LEN bytes. */
  virtual ostrel_error *set_chunk_length(int64_t content, int64_t seq, int64_t raw_len) = 0;

  // -- stored bytes of chunk SEQ of contents CONTENT
  virtual ostrel_error *stored_size(int64_t content, int64_t seq, int64_t *size) = 0;
  /* Flips the bits of the byte at OFFSET of the stored chunk. */
  virtual ostrel_error *flip_stored_byte(int64_t content, int64_t seq, int64_t offset) = 0;
  /* Cuts the stored chunk short after KEEP bytes (a pack file: there,
   * losing whatever followed it too). */
  virtual ostrel_error *cut_stored(int64_t content, int64_t seq, int64_t keep) = 0;
  /* Removes the stored chunk (a pack file: the whole pack). */
  virtual ostrel_error *remove_stored(int64_t content, int64_t seq) = 0;

  virtual ostrel_error *tally(Counts *out) = 0;

  // -- encoded records themselves (OSTREL_ERR_UNSUPPORTED by default)
  enum class Encoding {
    kCutShort,         // the record loses its last byte
    kTrailingByte,     // a byte after the last entry begins one more
    kNamesOutOfOrder,  // a listing's first two entries trade places
    kOverlongNumber,   // a listing entry's child id is written in more than 64 bits
  };
  /* The oldest listing chunk that holds entry NAME is damaged by HOW (for
   * kOverlongNumber, the child of NAME). */
  virtual ostrel_error *damage_listing(const std::string &name, Encoding how) {
    (void)name, (void)how;
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "This store keeps no directory listing in encoded chunks");
  }
  /* The record of node ID in its encoded block is damaged by HOW (kCutShort
   * or kTrailingByte; the block's other records stay readable). */
  virtual ostrel_error *damage_node_block(int64_t id, Encoding how) {
    (void)id, (void)how;
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "This store keeps no node records in encoded blocks");
  }
  /* The encoded changed paths of revision REV are damaged by HOW (a
   * listing's damage, applied to them, is OSTREL_ERR_UNSUPPORTED). */
  virtual ostrel_error *damage_changed_paths(ostrel_revnum rev, Encoding how) {
    (void)rev, (void)how;
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "This store keeps no changed paths as an encoded record");
  }
};

/* The damage of the repository in directory REPO_DIR, whatever keeps it
 * (its format file says which). */
ostrel_error *open_damage(const std::string &repo_dir, std::unique_ptr<Damage> *out);

/* Each implementation's own: the SQLite database and pack files (or, for
 * format 1, contents kept in the database) of the repository in REPO_DIR;
 * the PostgreSQL database CONNINFO names; the in-memory stores on DISK. */
ostrel_error *open_sqlite_damage(const std::string &repo_dir, std::unique_ptr<Damage> *out);
ostrel_error *open_postgres_damage(const std::string &conninfo, std::unique_ptr<Damage> *out);
class MemoryDisk;
/* Closes the idle PostgreSQL connections every store of this process keeps
 * for reuse, so that a test making many databases does not run the server
 * out of connections. */
void drop_idle_connections();
std::unique_ptr<Damage> make_memory_damage(std::shared_ptr<MemoryDisk> disk);

/* Turns the new local repository in REPO_DIR (nothing committed yet) into
 * one of format 1, whose contents are kept in its database, for tests of
 * that format and of its upgrade. */
ostrel_error *rewrite_as_format1(const std::string &repo_dir);

/* The record of the node at PATH in revision REV of FILESYSTEM, read
 * through the metadata seam (a fresh snapshot); OSTREL_ERR_FS_NOT_FOUND
 * when there is none. */
ostrel_error *locate_node(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                          NodeRow *out);
/* The contents record of file PATH in revision REV: *CONTENT its id,
 * *CHUNKS how many chunks it has (0 for an empty file). */
ostrel_error *locate_contents(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                              int64_t *content, int64_t *chunks);
/* The root node of revision REV. */
ostrel_error *locate_root(ostrel_fs *filesystem, ostrel_revnum rev, int64_t *root);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_DAMAGE_FOR_TESTS_H */
