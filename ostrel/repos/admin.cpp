// Repository administration that works below the filesystem handle: revision
// property changes on committed revisions, and online backups.

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "../fs/admin_db.h"
#include "../fs/filesystem_private.h"
#include "../fs/os.h"
#include "../fs/postgres/postgres_fs.h"
#include "layout.h"
#include "ostrel_error_codes.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_repos_admin.h"

using ostrel::repos::child;
using ostrel::repos::kDbFile;
using ostrel::repos::kFormatFile;

namespace {

// Copies the first LENGTH bytes of file FROM (all of it when LENGTH < 0) to
// the new file TO, in pieces, and syncs the copy.
ostrel_error *copy_file(const std::string &from, const std::string &to, apr_int64_t length,
                        apr_pool_t *pool) {
  apr_file_t *in = nullptr, *out = nullptr;
  apr_status_t st = apr_file_open(&in, from.c_str(), APR_READ | APR_BINARY, APR_OS_DEFAULT, pool);
  if (st != APR_SUCCESS) return ostrel_error_wrap_apr(st, "Can't open file '%s'", from.c_str());
  st = apr_file_open(&out, to.c_str(), APR_WRITE | APR_CREATE | APR_EXCL | APR_BINARY,
                     APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_GREAD | APR_FPROT_WREAD, pool);
  if (st != APR_SUCCESS) {
    apr_file_close(in);
    return ostrel_error_wrap_apr(st, "Can't create file '%s'", to.c_str());
  }
  ostrel_error *err = nullptr;
  std::string buf(1 << 20, '\0');
  apr_int64_t left = length;
  while (!err && left != 0) {
    apr_size_t want = buf.size();
    if (left > 0 && static_cast<apr_uint64_t>(left) < want) want = static_cast<apr_size_t>(left);
    apr_size_t got = want;
    st = apr_file_read(in, buf.data(), &got);
    if (st == APR_EOF && length < 0) break;
    if (st == APR_EOF)
      err = ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                 "File '%s' is shorter than the repository says", from.c_str());
    else if (st != APR_SUCCESS)
      err = ostrel_error_wrap_apr(st, "Can't read file '%s'", from.c_str());
    else if ((st = apr_file_write_full(out, buf.data(), got, nullptr)) != APR_SUCCESS)
      err = ostrel_error_wrap_apr(st, "Can't write file '%s'", to.c_str());
    else if (left > 0)
      left -= static_cast<apr_int64_t>(got);
  }
  if (!err && (st = apr_file_sync(out)) != APR_SUCCESS)
    err = ostrel_error_wrap_apr(st, "Can't sync file '%s'", to.c_str());
  apr_file_close(in);
  if ((st = apr_file_close(out)) != APR_SUCCESS && !err)
    err = ostrel_error_wrap_apr(st, "Can't close file '%s'", to.c_str());
  return err;
}

struct BackupNotify {
  ostrel_repos_notify_fn notify;
  void *baton;
};

void verified(void *baton, ostrel_revnum rev, apr_pool_t *pool) {
  auto *b = static_cast<BackupNotify *>(baton);
  if (b->notify) b->notify(b->baton, rev, pool);
}

// Copies the hooks and their settings (part of what the repository does)
// from SRC_PATH into DST_PATH, over what is there.
ostrel_error *copy_hooks(const char *src_path, const char *dst_path) {
  for (const char *dir : {"hooks", "conf"}) {
    std::error_code ec;
    const std::string from = child(src_path, dir);
    if (!std::filesystem::is_directory(from, ec)) continue;
    std::filesystem::copy(from, child(dst_path, dir),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          ec);
    if (ec)
      return ostrel_error_createf(OSTREL_ERR_IO, nullptr, "Can't copy '%s': %s", from.c_str(),
                                  ec.message().c_str());
  }
  return nullptr;
}

// One end of a socket pair as a stream: writes never raise SIGPIPE (a
// reader that stopped makes them fail), reads end when the writer closes.
ostrel_error *socket_write(void *baton, const char *data, apr_size_t *len) {
  const int fd = *static_cast<int *>(baton);
  for (apr_size_t done = 0; done < *len;) {
    ssize_t n = send(fd, data + done, *len - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ostrel_error_from_errno(errno, "Can't pass the copy on");
    done += static_cast<apr_size_t>(n);
  }
  return nullptr;
}
ostrel_error *socket_read(void *baton, char *buffer, apr_size_t *len) {
  const int fd = *static_cast<int *>(baton);
  while (true) {
    ssize_t n = recv(fd, buffer, *len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ostrel_error_from_errno(errno, "Can't take the copy in");
    *len = static_cast<apr_size_t>(n);
    return nullptr;
  }
}

// A repository in PostgreSQL is copied into a new local repository at
// DST_PATH, which the local tools verify, serve and load from like any
// other, and which depends on no database server.  Its revisions go
// across as a dump stream, streamed (memory stays flat whatever the
// contents): read in one REPEATABLE READ snapshot of the source on one
// thread, loaded into the copy on this one.  The copy's format file is
// kept aside until the copy verifies, so that a copy cut short (a crash
// included) is no repository.
ostrel_error *backup_postgres(ostrel_repos *src, const char *src_path, const char *dst_path,
                              ostrel_repos_notify_fn notify, void *baton, apr_pool_t *pool) {
  ostrel_fs *from = ostrel_repos_fs(src);
  OSTREL_ERR(ostrel_fs__pin_snapshot(from));
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, from, pool));
  ostrel_repos *dst;
  OSTREL_ERR(ostrel_repos_create(&dst, dst_path, nullptr, pool));
  const std::string format = child(dst_path, kFormatFile);
  const std::string aside = format + ".unfinished";
  if (std::rename(format.c_str(), aside.c_str()) != 0)
    return ostrel_error_from_errno(errno, "Can't move '%s' aside", format.c_str());
  OSTREL_ERR(copy_hooks(src_path, dst_path));

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    return ostrel_error_from_errno(errno, "Can't make a socket pair");
  ostrel_error *dumped = nullptr;
  std::thread dumper([&] {
    // A pool of its own: pools are not shared between threads.
    apr_pool_t *p = ostrel_pool_create(nullptr);
    ostrel_stream *out = ostrel_stream_create(&fds[0], p);
    ostrel_stream_set_write(out, socket_write);
    dumped = ostrel_repos_dump(src, 0, youngest, out, nullptr, nullptr, p);
    apr_pool_destroy(p);
    shutdown(fds[0], SHUT_WR);  // the end of the stream
  });
  ostrel_stream *in = ostrel_stream_create(&fds[1], pool);
  ostrel_stream_set_read(in, socket_read);
  ostrel_revnum loaded = 0;
  ostrel_error *err = ostrel_repos_load(dst, in, &loaded, nullptr, nullptr, pool);
  close(fds[1]);  // a dump still writing fails now instead of waiting
  dumper.join();
  close(fds[0]);
  // Whichever side failed first says why: a stream that ends early is the
  // dump's failure, a dump that cannot write is the load's.
  if (dumped && (!err || err->apr_err == OSTREL_ERR_DUMP_STREAM_DAMAGED)) {
    ostrel_error_clear(err);
    return dumped;
  }
  ostrel_error_clear(dumped);
  OSTREL_ERR(err);
  if (loaded != youngest)
    return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                "The copy in '%s' holds revisions up to %ld, not %ld", dst_path,
                                static_cast<long>(loaded), static_cast<long>(youngest));
  if (notify) notify(baton, youngest, pool);
  BackupNotify b{notify, baton};
  OSTREL_ERR(ostrel_error_quick_wrapf(
      ostrel_fs_verify(ostrel_repos_fs(dst), 0, youngest, verified, &b, pool),
      "The backup in '%s' does not verify", dst_path));
  OSTREL_ERR(ostrel::os::current().write_file_durably(format, std::to_string(OSTREL_FS__FORMAT) + "\n"));
  std::remove(aside.c_str());
  return nullptr;
}

ostrel_error *backup(const char *src_path, const char *dst_path, ostrel_repos_notify_fn notify,
                     void *baton, apr_pool_t *pool) {
  // Opening the source checks that it is a repository of a format we copy.
  ostrel_repos *src;
  OSTREL_ERR(ostrel_repos_open2(&src, src_path, nullptr, pool));
  if (ostrel_fs__is_postgres(ostrel_repos_fs(src)))
    return backup_postgres(src, src_path, dst_path, notify, baton, pool);
  OSTREL_ERR(ostrel::repos::make_empty_dir(dst_path, "back up into", pool));
  // The records first, as one snapshot, then the contents they reference
  // (the storage copies both); the format file last, so that a backup cut
  // short is no repository.
  std::string dst_db = child(dst_path, kDbFile);
  OSTREL_ERR(ostrel_fs__backup(ostrel_repos_fs(src), dst_path, dst_db.c_str(), pool));
  OSTREL_ERR(copy_hooks(src_path, dst_path));
  std::string tmp = child(dst_path, kFormatFile) + ".tmp";
  OSTREL_ERR(copy_file(child(src_path, kFormatFile), tmp, -1, pool));
  if (std::rename(tmp.c_str(), child(dst_path, kFormatFile).c_str()) != 0)
    return ostrel_error_from_errno(errno, "Can't move '%s' into place", tmp.c_str());

  ostrel_repos *dst;
  OSTREL_ERR(ostrel_repos_open2(&dst, dst_path, nullptr, pool));
  ostrel_fs *filesystem = ostrel_repos_fs(dst);
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));
  if (notify) notify(baton, youngest, pool);
  BackupNotify b{notify, baton};
  return ostrel_error_quick_wrapf(ostrel_fs_verify(filesystem, 0, youngest, verified, &b, pool),
                                  "The backup in '%s' does not verify", dst_path);
}

}  // namespace

extern "C" {

ostrel_error *ostrel_repos_change_rev_prop(ostrel_repos *repos, ostrel_revnum rev, const char *name,
                                           const ostrel_string *value, apr_pool_t *scratch_pool) {
  if (!name || !*name)
    return ostrel_error_create(OSTREL_ERR_BAD_PROPERTY_NAME, nullptr,
                               "A revision property needs a name");
  if (!value && std::strcmp(name, OSTREL_PROP_REVISION_DATE) == 0)
    return ostrel_error_createf(OSTREL_ERR_BAD_PROPERTY_VALUE, nullptr,
                                "Cannot delete '%s' of revision %ld: every revision has a date",
                                name, static_cast<long>(rev));
  if (ostrel_fs__is_postgres(ostrel_repos_fs(repos)))
    return ostrel_fs__change_rev_prop_postgres(ostrel_repos_fs(repos), rev, name, value);
  std::string db = child(ostrel_repos_path(repos, scratch_pool), kDbFile);
  return ostrel_fs__set_rev_prop(db.c_str(), 10000, rev, name, value);
}

ostrel_error *ostrel_repos_backup(const char *src_path, const char *dst_path,
                                  ostrel_repos_notify_fn notify, void *notify_baton,
                                  apr_pool_t *scratch_pool) {
  apr_pool_t *pool = ostrel_pool_create(scratch_pool);
  ostrel_error *err = backup(src_path, dst_path, notify, notify_baton, pool);
  apr_pool_destroy(pool);
  return err;
}

}  // extern "C"
