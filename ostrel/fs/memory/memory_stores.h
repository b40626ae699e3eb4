/* memory_stores.h: in-memory implementations of the metadata seam (meta.h)
 * and the content seam (content_store.h), with fault switches, so that the
 * commit logic above them is tested without any engine.
 *
 * A MemoryDisk stands for the durable medium both stores sit on; several
 * stores (handles, processes) may share one.  Its switches:
 *   fail_after(N)      the write after the next N writes fails (N = 0: the
 *                      next one), with OSTREL_ERR_FS_GENERAL; once.
 *   set_full(true)     every write fails with OSTREL_ERR_FS_FULL until cleared.
 *   uncertain_commit(APPLIES)
 *                      the next commit point of a writer that adds a
 *                      revision reports OSTREL_ERR_FS_UNCERTAIN, having
 *                      applied the writer (APPLIES) or not.
 *   hold_lock(true)    another writer holds the commit lock: begin_writer
 *                      fails with OSTREL_ERR_FS_BUSY.
 *   crash(KEEP)        drops what was never made durable: content bytes never
 *                      synced, and writers committed without DURABLE since
 *                      the last durable one or sync() except the first KEEP
 *                      of them (default 0): a log written in order reaches
 *                      the disk in order, but may do so before anyone syncs
 *                      it, so any prefix of the unsynced commits may survive.
 * A "write" is any Writer call that changes something, a commit, and any
 * content append or sync.  writes() counts them, so a test can try a
 * failure at every write of an operation. */
#ifndef OSTREL_FS_MEMORY_STORES_H
#define OSTREL_FS_MEMORY_STORES_H

#include <cstdint>
#include <memory>

#include "../content_store.h"
#include "../meta.h"

namespace ostrel::fs {

class MemoryDisk {
 public:
  MemoryDisk();
  ~MemoryDisk();
  MemoryDisk(const MemoryDisk &) = delete;
  MemoryDisk &operator=(const MemoryDisk &) = delete;

  void fail_after(int64_t writes);
  void set_full(bool full);
  void uncertain_commit(bool applies);
  void hold_lock(bool held);
  void crash(int64_t keep = 0);
  int64_t writes() const;

  struct State;
  std::unique_ptr<State> state;
};

/* A metadata store on DISK, holding revision 0 dated DATE when DISK is new. */
std::unique_ptr<MetaStore> make_memory_meta(std::shared_ptr<MemoryDisk> disk,
                                            const std::string &date);
/* A content store on DISK. */
std::unique_ptr<ContentStore> make_memory_contents(std::shared_ptr<MemoryDisk> disk);

}  // namespace ostrel::fs

#endif /* OSTREL_FS_MEMORY_STORES_H */
