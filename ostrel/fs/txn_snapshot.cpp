// Transactions seen from another process: a snapshot of a live
// transaction's tree, revision properties and uploaded contents, written to
// a file beside the database, and opened read-only elsewhere.
//
// A transaction's tree lives in the memory of the process that builds it;
// its uploaded chunks sit in a pack file after the pack's committed end.
// Both stay valid while that process waits (its pack stays locked and its
// transaction row stays alive), so a snapshot names the same stored nodes
// and the same chunk references, and a reader decodes them exactly as the
// writer would.  The snapshot holds what the transaction changed, not the
// whole tree: it is as large as the change.
//
// File format: the line "ostrel-txn 1\n", then fields, each an unsigned
// LEB128 number or a string (its length as a number, then its bytes).  The
// tree is written in pre-order without recursion.
//
// OWNERSHIP.  A snapshot NAME (txns/NAME) has a lock file txns/NAME.lock
// on which its owner holds an exclusive flock() from before the first
// publish until the snapshot is removed; the kernel drops the lock when
// the owner ends, however it ends.  So a lock anyone can take proves that
// no owner is left, whatever became of its process id (reused, or in
// another pid namespace), and sweep_txn_snapshots removes the snapshot,
// its temporary file and its lock file while holding that lock.  Taking a
// lock is open (creating the file), flock, then a check that the name
// still names the file locked: one unlinked meanwhile by whoever held it
// is taken again.  Whoever holds a name's lock is the only one that
// creates, replaces or removes the name's files.

#include <apr_strings.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "handles.h"
#include "os.h"
#include "varint.h"

namespace ostrel::fs {
namespace {

constexpr char kMagic[] = "ostrel-txn 1\n";
constexpr char kTxnDir[] = "txns";

class Writer {
 public:
  void num(uint64_t v) { put_num(out, v); }
  void snum(int64_t v) { num(static_cast<uint64_t>(v)); }
  void str(const std::string &s) { put_str(out, s); }
  void props(const PropMap &p) {
    num(p.size());
    for (auto &[k, v] : p) {
      str(k);
      str(v);
    }
  }
  std::string out;
};

class Reader {
 public:
  explicit Reader(const std::string &in) : in_(in.data(), in.size()), size_(in.size()) {}
  bool num(uint64_t *v) { return in_.num(v); }
  bool snum(int64_t *v) { return in_.num(v); }
  bool str(std::string *s) {
    std::string_view view;
    if (!in_.str(&view)) return false;
    s->assign(view);
    return true;
  }
  bool props(PropMap *p) {
    uint64_t n;
    if (!num(&n) || n > size_) return false;
    for (uint64_t i = 0; i < n; ++i) {
      std::string k, v;
      if (!str(&k) || !str(&v)) return false;
      (*p)[k] = v;
    }
    return true;
  }
  bool done() const { return in_.done(); }

 private:
  Decoder in_;
  size_t size_;
};

void write_node_head(Writer &w, const MNode &m) {
  w.snum(m.kind);
  w.snum(m.base);
  w.num(m.added);
  w.num(m.replaced);
  w.str(m.copy_path);
  w.snum(m.copy_rev);
  w.num(m.props_changed);
  w.props(m.props);
  w.num(m.text_changed);
  w.snum(m.content);
  w.num(m.entries.size());
}

bool read_node_head(Reader &r, MNode &m, uint64_t *entries) {
  int64_t kind, added, replaced, props_changed, text_changed, copy_rev;
  bool ok = r.snum(&kind) && r.snum(&m.base) && r.snum(&added) && r.snum(&replaced) &&
            r.str(&m.copy_path) && r.snum(&copy_rev) && r.snum(&props_changed) &&
            r.props(&m.props) && r.snum(&text_changed) && r.snum(&m.content) && r.num(entries);
  if (!ok || (kind != ostrel_node_dir && kind != ostrel_node_file)) return false;
  m.kind = static_cast<int>(kind);
  m.added = added;
  m.replaced = replaced;
  m.copy_rev = static_cast<ostrel_revnum>(copy_rev);
  m.props_changed = props_changed;
  m.text_changed = text_changed;
  return true;
}

std::string encode(const ostrel_fs_txn &txn) {
  Writer w;
  w.out = kMagic;
  w.snum(txn.base);
  w.snum(txn.id);
  w.snum(txn.base_root);
  w.props(txn.props);
  w.num(txn.pending.size());
  for (const PendingContent &p : txn.pending) {
    w.str(p.row.sha);
    w.snum(p.row.length);
    w.snum(p.row.base);
    w.snum(p.row.depth);
    w.num(p.chunks.size());
    for (const ChunkRow &c : p.chunks) {
      w.snum(c.raw_len);
      w.snum(c.codec);
      for (int64_t word : c.ref.w) w.snum(word);
      w.num(c.sum);
      w.num(c.has_sum);
    }
  }
  // Pre-order, one frame per open directory.
  struct Frame {
    const MNode *m;
    std::map<std::string, Entry>::const_iterator next;
  };
  std::vector<Frame> stack;
  write_node_head(w, *txn.root);
  stack.push_back({txn.root.get(), txn.root->entries.begin()});
  while (!stack.empty()) {
    Frame &top = stack.back();
    if (top.next == top.m->entries.end()) {
      stack.pop_back();
      continue;
    }
    const auto &[name, entry] = *top.next++;
    w.str(name);
    w.num(entry.deleted);
    w.num(entry.node != nullptr);
    if (entry.node) {
      write_node_head(w, *entry.node);
      stack.push_back({entry.node.get(), entry.node->entries.begin()});
    }
  }
  return w.out;
}

ostrel_error *damaged(const std::string &file) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "The transaction file '%s' is damaged", file.c_str());
}

ostrel_error *decode(const std::string &text, const std::string &file, ostrel_fs_txn &txn) {
  const size_t magic = sizeof kMagic - 1;
  if (text.compare(0, magic, kMagic) != 0) return damaged(file);
  std::string body = text.substr(magic);
  Reader r(body);
  int64_t base;
  uint64_t npending;
  if (!r.snum(&base) || !r.snum(&txn.id) || !r.snum(&txn.base_root) || !r.props(&txn.props) ||
      !r.num(&npending) || npending > body.size())
    return damaged(file);
  txn.base = static_cast<ostrel_revnum>(base);
  txn.pending.resize(npending);
  for (PendingContent &p : txn.pending) {
    uint64_t nchunks;
    int64_t depth;
    if (!r.str(&p.row.sha) || !r.snum(&p.row.length) || !r.snum(&p.row.base) || !r.snum(&depth) ||
        !r.num(&nchunks) || nchunks > body.size())
      return damaged(file);
    p.row.depth = static_cast<int>(depth);
    p.row.chunks = static_cast<int64_t>(nchunks);
    p.chunks.resize(nchunks);
    for (ChunkRow &c : p.chunks) {
      uint64_t sum, has_sum;
      if (!r.snum(&c.raw_len) || !r.snum(&c.codec) || !r.snum(&c.ref.w[0]) ||
          !r.snum(&c.ref.w[1]) || !r.snum(&c.ref.w[2]) || !r.num(&sum) || !r.num(&has_sum))
        return damaged(file);
      c.sum = sum;
      c.has_sum = has_sum != 0;
    }
  }
  struct Frame {
    MNode *m;
    uint64_t left;
  };
  std::vector<Frame> stack;
  txn.root = std::make_unique<MNode>();
  uint64_t n;
  if (!read_node_head(r, *txn.root, &n) || txn.root->kind != ostrel_node_dir) return damaged(file);
  stack.push_back({txn.root.get(), n});
  while (!stack.empty()) {
    Frame &top = stack.back();
    if (!top.left) {
      stack.pop_back();
      continue;
    }
    top.left--;
    std::string name;
    int64_t deleted, has_node;
    if (!r.str(&name) || !r.snum(&deleted) || !r.snum(&has_node) || name.empty())
      return damaged(file);
    Entry &e = top.m->entries[name];
    e.deleted = deleted;
    if (has_node) {
      e.node = std::make_unique<MNode>();
      if (!read_node_head(r, *e.node, &n)) return damaged(file);
      MNode *child = e.node.get();
      stack.push_back({child, n});
    }
  }
  if (!r.done()) return damaged(file);
  return nullptr;
}

std::string txn_dir(const ostrel_fs *filesystem) { return filesystem->repo_dir + "/" + kTxnDir; }

// A name is BASE-ID, both decimal: nothing in it can leave the directory.
bool valid_name(const char *name) {
  const char *dash = std::strchr(name, '-');
  if (!dash || dash == name || !dash[1]) return false;
  for (const char *p = name; *p; ++p)
    if (p != dash && (*p < '0' || *p > '9')) return false;
  return std::strlen(name) < 40;
}

// Takes the lock file LOCK (see OWNERSHIP): *FD is the locked descriptor,
// or -1 when another open file holds the lock (WAIT: for up to about a
// second, then OSTREL_ERR_FS_BUSY).
ostrel_error *take_lock(const std::string &lock, bool wait, int *fd) {
  *fd = -1;
  for (int attempt = 0; attempt < 200; ++attempt) {
    int f = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (f < 0) return ostrel_error_from_errno(errno, "Can't open file '%s'", lock.c_str());
    if (flock(f, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      ::close(f);
      if (e != EWOULDBLOCK && e != EINTR)
        return ostrel_error_from_errno(e, "Can't lock file '%s'", lock.c_str());
      if (!wait) return nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    struct stat held, named;
    if (fstat(f, &held) == 0 && ::stat(lock.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      *fd = f;
      return nullptr;
    }
    ::close(f);  // removed by its last holder: take the new one
  }
  return ostrel_error_createf(OSTREL_ERR_FS_BUSY, nullptr,
                              "The transaction file lock '%s' is held by another process",
                              lock.c_str());
}

// Removes snapshot FILE, its temporary file and its lock file, in that
// order (a crash in between leaves a lock file, swept later).
// REQUIRES: the caller holds the lock.
void remove_snapshot(const std::string &file) {
  std::remove(file.c_str());
  std::remove((file + ".tmp").c_str());
  std::remove((file + ".lock").c_str());
}

}  // namespace

ostrel_error *sweep_txn_snapshots(ostrel_fs *filesystem) {
  const std::string dir = txn_dir(filesystem);
  DIR *d = opendir(dir.c_str());
  if (!d) {
    if (errno == ENOENT || errno == ENOTDIR) return nullptr;
    return ostrel_error_from_errno(errno, "Can't open directory '%s'", dir.c_str());
  }
  std::set<std::string> names;
  while (const dirent *e = readdir(d)) {
    std::string name = e->d_name;
    for (const char *suffix : {".lock", ".tmp"}) {
      const size_t n = std::strlen(suffix);
      if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) {
        name.resize(name.size() - n);
        break;
      }
    }
    if (valid_name(name.c_str())) names.insert(name);
  }
  closedir(d);
  for (const std::string &name : names) {
    const std::string file = dir + "/" + name;
    int fd;
    OSTREL_ERR(take_lock(file + ".lock", false, &fd));
    if (fd < 0) continue;  // its owner is alive
    remove_snapshot(file);
    ::close(fd);
  }
  return nullptr;
}

void drop_snapshot(ostrel_fs_txn *txn) {
  if (txn->snapshot_lock < 0) return;
  const std::string name = std::to_string(txn->base) + "-" + std::to_string(txn->id);
  remove_snapshot(txn_dir(txn->filesystem) + "/" + name);
  ::close(txn->snapshot_lock);
  txn->snapshot_lock = -1;
}

// Adds the changes below M (at PATH) to OUT, as a commit would record them.
ostrel_error *txn_changes(ostrel_fs *filesystem, const MNode &root,
                          std::map<std::string, ChangeRow> &out) {
  struct Item {
    const MNode *m;
    std::string path;
  };
  std::vector<Item> stack{{&root, "/"}};
  if (root.props_changed) {
    ChangeRow row;
    row.node_kind = ostrel_node_dir;
    row.prop_mod = true;
    out["/"] = row;
  }
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    const MNode &m = *item.m;
    ostrel_error *err = nullptr;
    View view = mnode_base_view(filesystem, m, &err);
    OSTREL_ERR(err);
    for (const auto &[name, e] : m.entries) {
      std::string path = child_path(item.path, name);
      ChangeRow row;
      if (!e.node) {
        Child c;
        OSTREL_ERR(view_lookup(filesystem, view, name, c));
        row.change = ostrel_fs_path_change_delete;
        row.node_kind = c.kind == ostrel_node_dir ? ostrel_node_dir : ostrel_node_file;
        out[path] = row;
        continue;
      }
      const MNode &n = *e.node;
      row.node_kind = static_cast<ostrel_node_kind>(n.kind);
      row.text_mod = n.text_changed;
      row.prop_mod = n.props_changed;
      if (e.deleted || n.replaced)
        row.change = ostrel_fs_path_change_replace;
      else if (n.added)
        row.change = ostrel_fs_path_change_add;
      if (n.added && !n.copy_path.empty()) {
        row.copy_path = n.copy_path;
        row.copy_rev = n.copy_rev;
      }
      if (n.added || n.props_changed || n.text_changed) out[path] = row;
      if (n.kind == ostrel_node_dir) stack.push_back({&n, path});
    }
  }
  return nullptr;
}

}  // namespace ostrel::fs

using namespace ostrel::fs;

extern "C" {

const char *ostrel_fs_txn_name(ostrel_fs_txn *txn, apr_pool_t *pool) {
  const std::string name = std::to_string(txn->base) + "-" + std::to_string(txn->id);
  return apr_pstrdup(pool, name.c_str());
}

ostrel_error *ostrel_fs_publish_txn(ostrel_fs_txn *txn, apr_pool_t *pool) {
  OSTREL_ERR(txn_alive(txn));
  // Chunks still in the appender's buffer become readable to others.
  if (txn->appender) OSTREL_ERR(txn->appender->flush());
  const std::string dir = txn_dir(txn->filesystem);
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    return ostrel_error_from_errno(errno, "Can't create directory '%s'", dir.c_str());
  const std::string file = dir + "/" + ostrel_fs_txn_name(txn, pool);
  if (txn->snapshot_lock < 0) OSTREL_ERR(take_lock(file + ".lock", true, &txn->snapshot_lock));
  const std::string tmp = file + ".tmp";
  const std::string text = encode(*txn);
  FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) return ostrel_error_from_errno(errno, "Can't create file '%s'", tmp.c_str());
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int write_errno = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    write_errno = errno;
  }
  if (!ok) {
    std::remove(tmp.c_str());
    return ostrel_error_from_errno(write_errno, "Can't write file '%s'", tmp.c_str());
  }
  if (std::rename(tmp.c_str(), file.c_str()) != 0) {
    int e = errno;
    std::remove(tmp.c_str());
    return ostrel_error_from_errno(e, "Can't move '%s' into place", tmp.c_str());
  }
  return nullptr;
}

void ostrel_fs_unpublish_txn(ostrel_fs_txn *txn, apr_pool_t *) { drop_snapshot(txn); }

ostrel_error *ostrel_fs_open_txn(ostrel_fs_txn **txn_p, ostrel_fs *filesystem, const char *name,
                                 apr_pool_t *pool) {
  if (!valid_name(name))
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_TRANSACTION, nullptr,
                                "'%s' is no transaction name", name);
  const std::string file = txn_dir(filesystem) + "/" + name;
  std::string text;
  bool found = false;
  OSTREL_ERR(ostrel::os::current().read_small_file(file, size_t{1} << 30, &text, &found));
  if (!found)
    return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_TRANSACTION, nullptr,
                                "No transaction '%s' is waiting to be committed", name);
  auto txn = std::make_unique<ostrel_fs_txn>();
  txn->filesystem = filesystem;
  txn->readonly = true;
  OSTREL_ERR(decode(text, file, *txn));
  auto *raw = txn.release();
  apr_pool_cleanup_register(pool, raw, cleanup_txn, apr_pool_cleanup_null);
  *txn_p = raw;
  return nullptr;
}

ostrel_error *ostrel_fs_txn_proplist(apr_hash_t **props, ostrel_fs_txn *txn, apr_pool_t *pool) {
  apr_hash_t *hash = apr_hash_make(pool);
  for (auto &[name, value] : txn->props)
    apr_hash_set(hash, apr_pstrdup(pool, name.c_str()), APR_HASH_KEY_STRING,
                 ostrel_string_ncreate(value.data(), value.size(), pool));
  *props = hash;
  return nullptr;
}

}  // extern "C"
