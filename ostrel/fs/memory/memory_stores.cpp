// In-memory metadata and content stores with fault switches.  Every state
// is an immutable Records value: a snapshot holds one, a writer works on a
// copy and its commit point publishes the copy, so nothing a snapshot reads
// ever changes under it.  Copying the whole state per writer is fine for
// the sizes tests use, and keeps the implementation obviously atomic.

#include "memory_stores.h"

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

#include "../damage_for_tests.h"
#include "ostrel_fs.h"

namespace ostrel::fs {

namespace {

struct Records {
  std::map<ostrel_revnum, int64_t> revisions;
  std::map<ostrel_revnum, std::map<std::string, std::string>> revprops;
  std::map<int64_t, NodeRow> nodes;
  std::map<int64_t, std::map<std::string, Child>> dirs;  // version -> entries
  int64_t next_dir = 1;
  std::map<ostrel_revnum, std::vector<ChangedPath>> changes;
  std::map<int64_t, ostrel_revnum> origins;
  struct Content {
    ContentRow row;
    std::vector<ChunkRow> chunks;
    int64_t txn = 0;
  };
  std::map<int64_t, Content> contents;
  int64_t next_content = 1;
  std::map<int64_t, int64_t> marks;
  std::map<int64_t, int64_t> txns;  // id -> pid
  int64_t next_txn = 1;
};

struct Blob {
  std::string bytes;
  bool synced = false;
};

}  // namespace

struct MemoryDisk::State {
  std::shared_ptr<const Records> visible;  // what a new snapshot sees
  std::shared_ptr<const Records> durable;  // what survives a crash
  // Commits made without DURABLE since DURABLE, in order.
  std::vector<std::shared_ptr<const Records>> unsynced;
  int64_t fail_after = -1;
  bool full = false;
  int uncertain = 0;  // 1: the next commit applies and says unknown; 2: does not apply
  bool held = false;
  bool locked = false;  // a writer of some store on this disk is open
  int64_t writes = 0;
  std::map<std::pair<int64_t, int64_t>, Blob> blobs;  // (stream, seq)
  int64_t next_stream = 1;

  // Counts a write and applies the switches to it.
  ostrel_error *write(const char *what) {
    ++writes;
    if (full)
      return ostrel_error_createf(OSTREL_ERR_FS_FULL, nullptr,
                                  "In-memory repository: the disk is full (%s)", what);
    if (fail_after == 0) {
      fail_after = -1;
      return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                                  "In-memory repository: an injected write failure (%s)", what);
    }
    if (fail_after > 0) --fail_after;
    return nullptr;
  }
};

MemoryDisk::MemoryDisk() : state(std::make_unique<State>()) {}
MemoryDisk::~MemoryDisk() = default;
void MemoryDisk::fail_after(int64_t writes) { state->fail_after = writes; }
void MemoryDisk::set_full(bool full) { state->full = full; }
void MemoryDisk::uncertain_commit(bool applies) { state->uncertain = applies ? 1 : 2; }
void MemoryDisk::hold_lock(bool held) { state->held = held; }
int64_t MemoryDisk::writes() const { return state->writes; }

void MemoryDisk::crash(int64_t keep) {
  std::vector<std::shared_ptr<const Records>> &log = state->unsynced;
  if (keep > 0 && !log.empty())
    state->durable = log[static_cast<size_t>(std::min<int64_t>(keep, static_cast<int64_t>(log.size())) - 1)];
  log.clear();
  state->visible = state->durable;
  state->locked = false;
  for (auto it = state->blobs.begin(); it != state->blobs.end();)
    it = it->second.synced ? std::next(it) : state->blobs.erase(it);
}

namespace {

ostrel_error *missing(const char *what, int64_t id) {
  return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                              "Repository is damaged: %s %lld is missing", what,
                              static_cast<long long>(id));
}

class MemorySnapshot : public Snapshot {
 public:
  explicit MemorySnapshot(std::shared_ptr<const Records> r) : r_(std::move(r)) {}

  ostrel_revnum youngest() const override { return r_->revisions.rbegin()->first; }

  ostrel_error *revision_root(ostrel_revnum rev, int64_t *root, bool *found) override {
    auto it = r_->revisions.find(rev);
    *found = it != r_->revisions.end();
    if (*found) *root = it->second;
    return nullptr;
  }

  ostrel_error *node(int64_t id, NodeRow &out) override {
    auto it = r_->nodes.find(id);
    if (it == r_->nodes.end()) return missing("node", id);
    out = it->second;
    return nullptr;
  }

  ostrel_error *lookup(View v, const std::string &name, Child &out) override {
    out = Child{};
    const std::map<std::string, Child> *entries;
    OSTREL_ERR(dir(v, &entries));
    if (!entries) return nullptr;
    auto it = entries->find(name);
    if (it != entries->end()) out = it->second;
    return nullptr;
  }

  ostrel_error *list(View v, std::map<std::string, Child> &out) override {
    const std::map<std::string, Child> *entries;
    OSTREL_ERR(dir(v, &entries));
    if (entries) out.insert(entries->begin(), entries->end());
    return nullptr;
  }

  ostrel_error *changed_paths(ostrel_revnum rev, std::vector<ChangedPath> &out) override {
    auto it = r_->changes.find(rev);
    out = it == r_->changes.end() ? std::vector<ChangedPath>() : it->second;
    return nullptr;
  }

  ostrel_error *revision_props(ostrel_revnum rev,
                               std::map<std::string, std::string> &out) override {
    auto it = r_->revprops.find(rev);
    out = it == r_->revprops.end() ? std::map<std::string, std::string>() : it->second;
    return nullptr;
  }

  ostrel_error *node_origin(int64_t line, std::optional<ostrel_revnum> *rev) override {
    auto it = r_->origins.find(line);
    *rev = it == r_->origins.end() ? std::nullopt : std::optional<ostrel_revnum>(it->second);
    return nullptr;
  }

  ostrel_error *origin_counts(int64_t *lines, int64_t *recorded) override {
    *lines = 0;
    for (auto &[id, n] : r_->nodes) *lines += n.pred == 0;
    *recorded = static_cast<int64_t>(r_->origins.size());
    return nullptr;
  }

  ostrel_error *content(int64_t id, ContentRow &out, bool *found) override {
    auto it = r_->contents.find(id);
    *found = it != r_->contents.end() && !it->second.row.sha.empty();
    if (*found) out = it->second.row;
    return nullptr;
  }

  ostrel_error *content_by_sha(const std::string &sha, int64_t *id) override {
    *id = 0;
    for (auto &[cid, c] : r_->contents)
      if (!c.txn && c.row.sha == sha) {
        *id = cid;
        break;
      }
    return nullptr;
  }

  ostrel_error *chunk(int64_t content, int64_t seq, ChunkRow &out, bool *found) override {
    auto it = r_->contents.find(content);
    *found = it != r_->contents.end() && seq >= 0 &&
             seq < static_cast<int64_t>(it->second.chunks.size());
    if (*found) out = it->second.chunks[static_cast<size_t>(seq)];
    return nullptr;
  }

  ostrel_error *store_marks(std::vector<StoreMark> *marks) override {
    marks->clear();
    for (auto &[stream, value] : r_->marks) marks->push_back(StoreMark{stream, value});
    return nullptr;
  }

 private:
  ostrel_error *dir(View v, const std::map<std::string, Child> **entries) {
    *entries = nullptr;
    if (!v.dkey) return nullptr;
    auto it = r_->dirs.find(v.dkey);
    if (it == r_->dirs.end()) return missing("directory version", v.dkey);
    *entries = &it->second;
    return nullptr;
  }

  std::shared_ptr<const Records> r_;
};

class MemoryMeta;

class MemoryWriter : public Writer {
 public:
  MemoryWriter(MemoryMeta &meta, MemoryDisk::State &disk, bool durable)
      : meta_(meta), disk_(disk), durable_(durable),
        work_(std::make_shared<Records>(*disk.visible)), reads_(work_) {
    disk_.locked = true;
  }
  ~MemoryWriter() override { rollback(); }

  Snapshot &reads() override { return reads_; }

  ostrel_error *add_txn(int64_t pid, ostrel_revnum, int64_t *id) override {
    OSTREL_ERR(disk_.write("add_txn"));
    *id = work_->next_txn++;
    work_->txns[*id] = pid;
    return nullptr;
  }

  ostrel_error *txns(std::map<int64_t, int64_t> &out) override {
    out = work_->txns;
    return nullptr;
  }

  ostrel_error *purge_txn(int64_t id) override {
    OSTREL_ERR(disk_.write("purge_txn"));
    work_->txns.erase(id);
    for (auto it = work_->contents.begin(); it != work_->contents.end();)
      it = it->second.txn == id ? work_->contents.erase(it) : std::next(it);
    return nullptr;
  }

  ostrel_error *add_content(const ContentRow &row, const std::vector<ChunkRow> &chunks,
                            int64_t txn, int64_t *id) override {
    OSTREL_ERR(disk_.write("add_content"));
    *id = work_->next_content++;
    work_->contents[*id] = Records::Content{row, chunks, txn};
    return nullptr;
  }

  ostrel_error *content_any(int64_t id, ContentRow &out, int64_t *txn, bool *found) override {
    auto it = work_->contents.find(id);
    *found = it != work_->contents.end();
    if (*found) {
      out = it->second.row;
      *txn = it->second.txn;
    }
    return nullptr;
  }

  ostrel_error *commit_content(int64_t id) override {
    OSTREL_ERR(disk_.write("commit_content"));
    auto it = work_->contents.find(id);
    if (it == work_->contents.end()) return missing("contents", id);
    it->second.txn = 0;
    return nullptr;
  }

  ostrel_error *store_mark(int64_t stream, int64_t *value) override {
    auto it = work_->marks.find(stream);
    *value = it == work_->marks.end() ? 0 : it->second;
    return nullptr;
  }

  ostrel_error *set_store_mark(const StoreMark &mark) override {
    OSTREL_ERR(disk_.write("set_store_mark"));
    work_->marks[mark.stream] = mark.value;
    return nullptr;
  }

  ostrel_error *first_free_node_id(int64_t *id) override {
    *id = work_->nodes.empty() ? 1 : work_->nodes.rbegin()->first + 1;
    return nullptr;
  }

  ostrel_error *add_nodes(const std::vector<NodeRow> &nodes) override {
    OSTREL_ERR(disk_.write("add_nodes"));
    for (const NodeRow &n : nodes) {
      if (work_->nodes.count(n.id))
        return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Node %lld written twice",
                                    static_cast<long long>(n.id));
      work_->nodes[n.id] = n;
    }
    return nullptr;
  }

  ostrel_error *write_dir(View from, const std::vector<DirChange> &changes, ostrel_revnum rev,
                          View *made) override {
    if (changes.empty()) {
      *made = from;
      return nullptr;
    }
    OSTREL_ERR(disk_.write("write_dir"));
    std::map<std::string, Child> entries;
    if (from.dkey) {
      auto it = work_->dirs.find(from.dkey);
      if (it == work_->dirs.end()) return missing("directory version", from.dkey);
      entries = it->second;
    }
    for (const DirChange &c : changes) {
      if (c.child) entries[c.name] = Child{c.child, c.kind};
      else entries.erase(c.name);
    }
    const int64_t id = work_->next_dir++;
    work_->dirs[id] = std::move(entries);
    *made = View{id, rev};
    return nullptr;
  }

  ostrel_error *add_changed_paths(ostrel_revnum rev,
                                  const std::vector<ChangedPath> &paths) override {
    OSTREL_ERR(disk_.write("add_changed_paths"));
    auto &list = work_->changes[rev];
    list.insert(list.end(), paths.begin(), paths.end());
    return nullptr;
  }

  ostrel_error *add_revision(ostrel_revnum rev, int64_t root,
                             const std::map<std::string, std::string> &props) override {
    OSTREL_ERR(disk_.write("add_revision"));
    if (rev != work_->revisions.rbegin()->first + 1)
      return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                  "Revision %ld does not follow the youngest",
                                  static_cast<long>(rev));
    work_->revisions[rev] = root;
    work_->revprops[rev] = props;
    added_revision_ = true;
    return nullptr;
  }

  ostrel_error *set_revision_prop(ostrel_revnum rev, const std::string &name,
                                  const std::optional<std::string> &value) override {
    OSTREL_ERR(disk_.write("set_revision_prop"));
    if (!work_->revisions.count(rev))
      return ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr, "No such revision %ld",
                                  static_cast<long>(rev));
    if (value) work_->revprops[rev][name] = *value;
    else work_->revprops[rev].erase(name);
    return nullptr;
  }

  ostrel_error *add_origins(const std::map<int64_t, ostrel_revnum> &lines,
                            const std::vector<ostrel_revnum> &revs) override {
    OSTREL_ERR(disk_.write("add_origins"));
    for (auto &[line, rev] : lines) work_->origins.emplace(line, rev);
    for (ostrel_revnum rev : revs)
      for (auto &[id, n] : work_->nodes)
        if (n.created_rev == rev && !n.pred) work_->origins.emplace(id, rev);
    return nullptr;
  }

  ostrel_error *commit() override;

  void rollback() override {
    if (done_) return;
    done_ = true;
    disk_.locked = false;
  }

 private:
  MemoryMeta &meta_;
  MemoryDisk::State &disk_;
  bool durable_;
  std::shared_ptr<Records> work_;
  MemorySnapshot reads_;
  bool done_ = false;
  bool added_revision_ = false;
};

class MemoryMeta : public MetaStore {
 public:
  explicit MemoryMeta(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

  int format() const override { return 2; }

  ostrel_error *snapshot(std::unique_ptr<Snapshot> *out) override {
    *out = std::make_unique<MemorySnapshot>(disk_->state->visible);
    return nullptr;
  }

  ostrel_error *begin_writer(bool durable, std::unique_ptr<Writer> *out) override {
    if (!refused_.empty())
      return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr,
                                  "In-memory repository takes no more writes through this "
                                  "handle: %s",
                                  refused_.c_str());
    MemoryDisk::State &s = *disk_->state;
    if (s.held || s.locked)
      return ostrel_error_create(OSTREL_ERR_FS_BUSY, nullptr,
                                 "In-memory repository is held by another writer");
    *out = std::make_unique<MemoryWriter>(*this, s, durable);
    return nullptr;
  }

  const char *refused() const override { return refused_.empty() ? nullptr : refused_.c_str(); }
  ostrel_error *check_integrity() override { return nullptr; }
  ostrel_error *sync() override {
    MemoryDisk::State &s = *disk_->state;
    OSTREL_ERR(s.write("sync"));
    s.durable = s.visible;
    s.unsynced.clear();
    return nullptr;
  }
  ostrel_error *backup(const std::string &) override {
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr,
                               "An in-memory repository has nowhere to be copied to");
  }

  std::string refused_;

 private:
  std::shared_ptr<MemoryDisk> disk_;
};

ostrel_error *MemoryWriter::commit() {
  if (done_)
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "A writer was committed twice");
  ostrel_error *err = disk_.write("commit");
  if (err) {
    rollback();
    return err;
  }
  done_ = true;
  disk_.locked = false;
  const int uncertain = added_revision_ ? disk_.uncertain : 0;
  if (added_revision_) disk_.uncertain = 0;
  if (uncertain != 2) {
    disk_.visible = work_;
    if (durable_) {
      disk_.durable = work_;
      disk_.unsynced.clear();
    } else {
      disk_.unsynced.push_back(work_);
    }
  }
  if (uncertain) {
    meta_.refused_ = "the outcome of a commit is unknown (an injected fault); open the "
                     "repository again to see whether it happened";
    return ostrel_error_createf(OSTREL_ERR_FS_UNCERTAIN, nullptr, "In-memory repository: %s",
                                meta_.refused_.c_str());
  }
  return nullptr;
}

class MemoryAppender : public Appender {
 public:
  MemoryAppender(MemoryDisk::State &disk, int64_t stream) : disk_(disk), stream_(stream) {}

  // A reference is (stream, sequence number).
  ostrel_error *append(const void *data, size_t len, ContentRef *ref) override {
    OSTREL_ERR(disk_.write("append"));
    disk_.blobs[{stream_, count_}] = Blob{std::string(static_cast<const char *>(data), len), false};
    ref->w[0] = stream_;
    ref->w[1] = count_++;
    ref->w[2] = 0;
    return nullptr;
  }
  ostrel_error *flush() override { return nullptr; }
  ostrel_error *sync() override {
    if (!count_) return nullptr;
    OSTREL_ERR(disk_.write("sync"));
    for (auto it = disk_.blobs.lower_bound({stream_, 0});
         it != disk_.blobs.end() && it->first.first == stream_; ++it)
      it->second.synced = true;
    return nullptr;
  }
  ostrel_error *discard() override {
    for (auto it = disk_.blobs.lower_bound({stream_, 0});
         it != disk_.blobs.end() && it->first.first == stream_;)
      it = disk_.blobs.erase(it);
    count_ = 0;
    return nullptr;
  }
  StoreMark mark() const override { return StoreMark{stream_, count_}; }
  bool wrote() const override { return count_ > 0; }

 private:
  MemoryDisk::State &disk_;
  int64_t stream_;
  int64_t count_ = 0;
};

class MemoryContents : public ContentStore {
 public:
  explicit MemoryContents(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

  ostrel_error *open_appender(std::unique_ptr<Appender> *out, const MarkReader &marks) override {
    // Every appender has a stream of its own, so nothing lies after a mark.
    const int64_t stream = disk_->state->next_stream++;
    int64_t mark;
    OSTREL_ERR(marks(stream, &mark));
    *out = std::make_unique<MemoryAppender>(*disk_->state, stream);
    return nullptr;
  }

  ostrel_error *read(const ContentRef &ref, std::string &out) override {
    auto it = disk_->state->blobs.find({ref.w[0], ref.w[1]});
    if (it == disk_->state->blobs.end())
      return ostrel_error_createf(OSTREL_ERR_FS_CORRUPT, nullptr,
                                  "Repository is damaged: stored bytes %lld of stream %lld are "
                                  "missing",
                                  static_cast<long long>(ref.w[1]),
                                  static_cast<long long>(ref.w[0]));
    out = it->second.bytes;
    return nullptr;
  }

  ostrel_error *copy_to(const std::string &, const MarkList &) override {
    return ostrel_error_create(OSTREL_ERR_FS_GENERAL, nullptr,
                               "An in-memory repository has nowhere to be copied to");
  }

  ostrel_error *sync_all() override {
    OSTREL_ERR(disk_->state->write("sync"));
    for (auto &[key, blob] : disk_->state->blobs) blob.synced = true;
    return nullptr;
  }

 private:
  std::shared_ptr<MemoryDisk> disk_;
};

}  // namespace

std::unique_ptr<MetaStore> make_memory_meta(std::shared_ptr<MemoryDisk> disk,
                                            const std::string &date) {
  MemoryDisk::State &s = *disk->state;
  if (!s.visible) {
    auto r = std::make_shared<Records>();
    NodeRow root;
    root.id = root.nid = root.line = 1;
    root.kind = ostrel_node_dir;
    root.created_rev = 0;
    r->nodes[1] = root;
    r->revisions[0] = 1;
    r->revprops[0][OSTREL_PROP_REVISION_DATE] = date;
    r->origins[1] = 0;
    s.visible = s.durable = r;
  }
  return std::make_unique<MemoryMeta>(std::move(disk));
}

std::unique_ptr<ContentStore> make_memory_contents(std::shared_ptr<MemoryDisk> disk) {
  return std::make_unique<MemoryContents>(std::move(disk));
}


// -- Damage (damage_for_tests.h): edits what is visible and what is durable
// alike, as damage on the medium would.

namespace {

ostrel_error *missed(const std::string &what) {
  return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Nothing to damage: no %s",
                              what.c_str());
}

class MemoryDamage : public Damage {
 public:
  explicit MemoryDamage(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

  ostrel_error *set_revision_root(ostrel_revnum rev, int64_t root) override {
    return edit("revision " + std::to_string(rev), [&](Records &r) {
      auto it = r.revisions.find(rev);
      if (it == r.revisions.end()) return false;
      it->second = root;
      return true;
    });
  }

  ostrel_error *replace_changed_path(ostrel_revnum rev, const std::string &path,
                                     const ChangedPath &row) override {
    return edit("changed path '" + path + "' in revision " + std::to_string(rev),
                [&](Records &r) {
                  for (ChangedPath &c : r.changes[rev])
                    if (c.path == path) {
                      c = row;
                      return true;
                    }
                  return false;
                });
  }

  ostrel_error *add_changed_path(ostrel_revnum rev, const ChangedPath &row) override {
    return edit("revision " + std::to_string(rev), [&](Records &r) {
      r.changes[rev].push_back(row);
      return true;
    });
  }

  ostrel_error *rewrite_node(const NodeRow &row) override {
    return edit("node " + std::to_string(row.id), [&](Records &r) {
      auto it = r.nodes.find(row.id);
      if (it == r.nodes.end()) return false;
      const View dir = it->second.dir;
      it->second = row;
      it->second.dir = dir;
      return true;
    });
  }

  ostrel_error *rewrite_entries(const std::string &name, std::optional<int64_t> child,
                                int64_t kind) override {
    return edit("entry '" + name + "'", [&](Records &r) {
      bool any = false;
      for (auto &[version, entries] : r.dirs) {
        auto it = entries.find(name);
        if (it == entries.end()) continue;
        it->second.kind = kind;
        if (child) it->second.id = *child;
        any = true;
      }
      return any;
    });
  }

  ostrel_error *loop_directory_versions() override {
    return ostrel_error_create(OSTREL_ERR_UNSUPPORTED, nullptr,
                               "In-memory directory versions are whole, not chained");
  }

  ostrel_error *move_origins(ostrel_revnum from, ostrel_revnum to) override {
    return edit("node origin in revision " + std::to_string(from), [&](Records &r) {
      bool any = false;
      for (auto &[line, rev] : r.origins)
        if (rev == from) {
          rev = to;
          any = true;
        }
      return any;
    });
  }

  ostrel_error *forget_origins() override {
    return edit("", [](Records &r) {
      r.origins.clear();
      return true;
    });
  }

  ostrel_error *set_content_sha(int64_t content, const std::string &sha) override {
    return edit("contents " + std::to_string(content), [&](Records &r) {
      auto it = r.contents.find(content);
      if (it == r.contents.end()) return false;
      it->second.row.sha = sha;
      return true;
    });
  }

  ostrel_error *set_chunk_length(int64_t content, int64_t seq, int64_t raw_len) override {
    return edit(chunk_name(content, seq), [&](Records &r) {
      auto it = r.contents.find(content);
      if (it == r.contents.end() || seq < 0 ||
          seq >= static_cast<int64_t>(it->second.chunks.size()))
        return false;
      it->second.chunks[static_cast<size_t>(seq)].raw_len = raw_len;
      return true;
    });
  }

  ostrel_error *stored_size(int64_t content, int64_t seq, int64_t *size) override {
    std::string *bytes;
    OSTREL_ERR(stored(content, seq, &bytes));
    *size = static_cast<int64_t>(bytes->size());
    return nullptr;
  }

  ostrel_error *flip_stored_byte(int64_t content, int64_t seq, int64_t offset) override {
    std::string *bytes;
    OSTREL_ERR(stored(content, seq, &bytes));
    if (offset < 0 || offset >= static_cast<int64_t>(bytes->size()))
      return missed("byte " + std::to_string(offset) + " in " + chunk_name(content, seq));
    (*bytes)[static_cast<size_t>(offset)] ^= 0x20;
    return nullptr;
  }

  ostrel_error *cut_stored(int64_t content, int64_t seq, int64_t keep) override {
    std::string *bytes;
    OSTREL_ERR(stored(content, seq, &bytes));
    if (keep < static_cast<int64_t>(bytes->size())) bytes->resize(static_cast<size_t>(keep));
    return nullptr;
  }

  ostrel_error *remove_stored(int64_t content, int64_t seq) override {
    ContentRef ref;
    OSTREL_ERR(ref_of(content, seq, &ref));
    disk_->state->blobs.erase({ref.w[0], ref.w[1]});
    return nullptr;
  }

  ostrel_error *tally(Counts *out) override {
    *out = Counts{};
    const Records &r = *disk_->state->visible;
    out->transactions = static_cast<int64_t>(r.txns.size());
    out->nodes = static_cast<int64_t>(r.nodes.size());
    out->contents = static_cast<int64_t>(r.contents.size());
    for (auto &[id, c] : r.contents) {
      out->unfinished_contents += c.txn != 0;
      out->chunks += static_cast<int64_t>(c.chunks.size());
      out->deltas += c.row.base != 0;
      out->deepest_delta = std::max(out->deepest_delta, c.row.depth);
      for (const ChunkRow &chunk : c.chunks) {
        auto it = disk_->state->blobs.find({chunk.ref.w[0], chunk.ref.w[1]});
        if (it != disk_->state->blobs.end())
          out->stored_bytes += static_cast<int64_t>(it->second.bytes.size());
      }
    }
    // Stored bytes no record names.
    std::map<std::pair<int64_t, int64_t>, bool> named;
    for (auto &[id, c] : r.contents)
      for (const ChunkRow &chunk : c.chunks) named[{chunk.ref.w[0], chunk.ref.w[1]}] = true;
    for (auto &[key, blob] : disk_->state->blobs) {
      if (!named.count(key)) out->unmarked_bytes += static_cast<int64_t>(blob.bytes.size());
      out->held_bytes += static_cast<int64_t>(blob.bytes.size());
    }
    return nullptr;
  }

 private:
  static std::string chunk_name(int64_t content, int64_t seq) {
    return "chunk " + std::to_string(seq) + " of contents " + std::to_string(content);
  }

  // Applies CHANGE to what is visible and to what is durable; WHAT names
  // what CHANGE looks for when it finds nothing.
  ostrel_error *edit(const std::string &what, const std::function<bool(Records &)> &change) {
    MemoryDisk::State &s = *disk_->state;
    auto visible = std::make_shared<Records>(*s.visible);
    if (!change(*visible)) return missed(what);
    if (s.durable == s.visible) {
      s.durable = s.visible = visible;
      return nullptr;
    }
    auto durable = std::make_shared<Records>(*s.durable);
    change(*durable);
    s.visible = visible;
    s.durable = durable;
    return nullptr;
  }

  ostrel_error *ref_of(int64_t content, int64_t seq, ContentRef *ref) {
    const Records &r = *disk_->state->visible;
    auto it = r.contents.find(content);
    if (it == r.contents.end() || seq < 0 || seq >= static_cast<int64_t>(it->second.chunks.size()))
      return missed(chunk_name(content, seq));
    *ref = it->second.chunks[static_cast<size_t>(seq)].ref;
    return nullptr;
  }

  ostrel_error *stored(int64_t content, int64_t seq, std::string **bytes) {
    ContentRef ref;
    OSTREL_ERR(ref_of(content, seq, &ref));
    auto it = disk_->state->blobs.find({ref.w[0], ref.w[1]});
    if (it == disk_->state->blobs.end()) return missed("stored " + chunk_name(content, seq));
    *bytes = &it->second.bytes;
    return nullptr;
  }

  std::shared_ptr<MemoryDisk> disk_;
};

}  // namespace

std::unique_ptr<Damage> make_memory_damage(std::shared_ptr<MemoryDisk> disk) {
  return std::make_unique<MemoryDamage>(std::move(disk));
}

}  // namespace ostrel::fs
