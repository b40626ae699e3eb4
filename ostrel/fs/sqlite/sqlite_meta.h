/* sqlite_meta.h: the metadata seam (meta.h) on one local SQLite database
 * file, and the format-1 content store that keeps contents inside it.
 *
 * Every SQL statement of the filesystem is in this folder.  The database
 * runs in WAL mode: a snapshot is a read transaction (dropped and taken
 * again as the snapshot rule of meta.h allows, so that checkpoints are not
 * held back), a writer is a BEGIN IMMEDIATE transaction, whose lock is the
 * commit lock. */
#ifndef OSTREL_FS_SQLITE_META_H
#define OSTREL_FS_SQLITE_META_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../content_store.h"
#include "../meta.h"

namespace ostrel::fs {

/* Opens the database file DB_PATH; CREATE makes it (it must not exist) in
 * FORMAT (2 or 3; 0: the newest), holding revision 0 dated DATE.  BUSY_MS
 * bounds every wait for the commit lock.  OSTREL_ERR_FS_BAD_FORMAT for a
 * format this build does not read or create. */
ostrel_error *open_sqlite_meta(const std::string &db_path, bool create, int busy_ms,
                               const std::string &date, std::unique_ptr<MetaStore> *out,
                               int format = 0);

/* The format-1 content store: chunks kept as rows of META (which must be an
 * SQLite store), read by the references META's chunk records carry. */
std::unique_ptr<ContentStore> make_record_contents(MetaStore &meta);

/* Format-1 uploads, chunk by chunk, each in a short write transaction of
 * its own: *CONTENT (0: not yet made) is the record marked with TXN that
 * receives chunk SEQ (STORED, RAW_LEN bytes once decoded); FINAL, when
 * given, completes the record with the SHA-256, length and chunk count. */
struct RecordFinal {
  std::string sha;
  int64_t length = 0;
  int64_t chunks = 0;
};
ostrel_error *record_upload(MetaStore &meta, int64_t txn, int64_t *content, int64_t seq,
                            const std::string *stored, int64_t raw_len, const RecordFinal *final);

/* Converting format 1 or 2 into format 3, in one write transaction of META
 * (for format 1 first into format 2):
 * every chunk row is decoded by DECODE, re-encoded into CHUNK by ENCODE and
 * appended through APPENDER; the chunk table goes.  REQUIRES: no open
 * transaction is left (the caller swept them). */
struct UpgradeSteps {
  std::function<ostrel_error *(int64_t content, int64_t seq, const std::string &stored,
                               int64_t raw_len, std::string &raw)>
      decode;
  std::function<ostrel_error *(const std::string &raw, ChunkRow *chunk, std::string &stored)>
      encode;
  // Which transactions are still alive (id -> pid) are not; returns true
  // for a process that exists.
  std::function<bool(int64_t pid)> process_alive;
};
ostrel_error *upgrade_records(MetaStore &meta, ContentStore &packs, const UpgradeSteps &steps,
                              int *old_format);

/* Format 3's encoded records (FORMAT 3 in meta.cpp), for the storage and
 * for the damage tests that must damage them as a fault would.  A listing
 * chunk is a sorted run of entries (name, child, kind; child 0 is a
 * tombstone); decode_chunk is false when the body is damaged, also when
 * its names are not sorted and distinct (OUT's names then point into
 * BODY).  decode_changed_paths is false when the body is damaged. */
struct ChunkEntry {
  std::string_view name;
  Child child;  // id 0: a tombstone
};
void append_chunk_entry(std::string &body, std::string_view name, const Child &child);
bool decode_chunk(const void *body, size_t len, std::vector<ChunkEntry> &out);
std::string encode_changed_paths(const std::vector<ChangedPath> &paths);
bool decode_changed_paths(const void *body, size_t len, std::vector<ChangedPath> &out);
/* A SHA-256 as format 3 keeps it: HEX's 32 bytes (HEX itself when it is
 * not 64 hex digits). */
std::string sha_bytes(const std::string &hex);

/* The text of every statement META has prepared so far with its query plan
 * (one step a line), for tests of the plans the storage really runs. */
ostrel_error *sqlite_query_plans(MetaStore &meta, std::map<std::string, std::string> &plans);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_SQLITE_META_H */
