// Damage to a local repository (damage_for_tests.h): its SQLite database,
// and the pack files its chunk records (formats 2 and 3) point into, or for
// format 1 the chunk rows that hold the contents.  Each statement returns
// the rows it changed, so that damage that missed its target is an error.
// Format 3 keeps a new directory's entries in listing chunks and each
// revision's changed paths in one encoded row (FORMAT 3 in meta.cpp): the
// damage decodes those, changes the entry it names and writes them back
// encoded as the storage would, so that what a read meets is a record that
// decodes and holds the damaged value.  Format 5 keeps the nodes in blocks
// (FORMAT 5): a node's damage re-encodes its block with the record changed.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "../damage_for_tests.h"
#include "node_block.h"
#include "sqlite_meta.h"
#include "store.h"

namespace ostrel::fs {

namespace {

ostrel_error *missed(const std::string &what) {
  return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Nothing to damage: no %s",
                              what.c_str());
}

class SqliteDamage : public Damage {
 public:
  explicit SqliteDamage(std::string repo_dir) : dir_(std::move(repo_dir)) {}

  ostrel_error *open() {
    OSTREL_ERR(store_.open(dir_ + "/fs.db", false, 10000));
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT value FROM meta WHERE key='format'"));
    bool row;
    OSTREL_ERR(st.step(&row));
    const std::string format = row ? st.text(0) : "";
    records_ = format == "1";
    encoded_ = format == "3" || format == "5";
    blocks_ = format == "5";
    return nullptr;
  }

  ostrel_error *set_revision_root(ostrel_revnum rev, int64_t root) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE revision SET root=?2 WHERE rev=?1 RETURNING 1"));
    return changed(st.bind(1, rev).bind(2, root), "revision " + std::to_string(rev));
  }

  ostrel_error *replace_changed_path(ostrel_revnum rev, const std::string &path,
                                     const ChangedPath &row) override {
    if (encoded_) {
      std::vector<ChangedPath> rows;
      bool found;
      OSTREL_ERR(encoded_changes(rev, &rows, &found));
      auto it = std::find_if(rows.begin(), rows.end(),
                             [&](const ChangedPath &c) { return c.path == path; });
      if (it == rows.end())
        return missed("changed path '" + path + "' in revision " + std::to_string(rev));
      *it = row;
      return set_encoded_changes(rev, rows);
    }
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "DELETE FROM changed_path WHERE rev=?1 AND path=?2 RETURNING 1"));
    OSTREL_ERR(changed(st.bind(1, rev).bind(2, path),
                       "changed path '" + path + "' in revision " + std::to_string(rev)));
    return add_changed_path(rev, row);
  }

  ostrel_error *add_changed_path(ostrel_revnum rev, const ChangedPath &row) override {
    if (encoded_) {
      std::vector<ChangedPath> rows;
      bool found;
      OSTREL_ERR(encoded_changes(rev, &rows, &found));
      rows.push_back(row);
      return set_encoded_changes(rev, rows);
    }
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT INTO changed_path(rev, path, change, node_kind, text_mod,"
                                  " prop_mod, copy_path, copy_rev) VALUES(?1, ?2, ?3, ?4, ?5, ?6,"
                                  " ?7, ?8)"));
    st.bind(1, rev).bind(2, row.path).bind(3, row.change).bind(4, row.node_kind);
    st.bind(5, row.text_mod).bind(6, row.prop_mod);
    st.bind_text(7, row.copy_path ? row.copy_path->c_str() : nullptr);
    if (row.copy_rev)
      st.bind(8, *row.copy_rev);
    else
      st.bind_null(8);
    return st.run();
  }

  ostrel_error *rewrite_node(const NodeRow &row) override {
    if (blocks_) return rewrite_block_node(row);
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE node SET kind=?2, nid=?3, pred=?4, line=?5,"
                                  " created_rev=?6, copy_path=?7, copy_rev=?8, content=?9,"
                                  " props=?10 WHERE id=?1 RETURNING 1"));
    st.bind(1, row.id).bind(2, row.kind).bind(3, row.nid).bind(5, row.line);
    if (row.pred)
      st.bind(4, row.pred);
    else
      st.bind_null(4);
    st.bind(6, row.created_rev).bind_text(7, row.copy_path ? row.copy_path->c_str() : nullptr);
    if (row.copy_rev >= 0)
      st.bind(8, row.copy_rev);
    else
      st.bind_null(8);
    if (row.content)
      st.bind(9, row.content);
    else
      st.bind_null(9);
    st.bind_blob(10, row.props.data(), row.props.size());
    return changed(st, "node " + std::to_string(row.id));
  }

  ostrel_error *rewrite_entries(const std::string &name, std::optional<int64_t> child,
                                int64_t kind) override {
    const std::string what = "entry '" + name + "'";
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE dirent SET kind=?2, child=coalesce(?3, child)"
                                  " WHERE name=?1 RETURNING 1"));
    st.bind(1, name).bind(2, kind);
    if (child)
      st.bind(3, *child);
    else
      st.bind_null(3);
    if (!encoded_) return changed(st, what);
    ostrel_error *err = changed(st, what);
    const bool rows_changed = !err;
    if (err && err->apr_err != OSTREL_ERR_MALFUNCTION) return err;
    ostrel_error_clear(err);
    std::vector<Listing> chunks;
    OSTREL_ERR(listings_holding(name, &chunks));
    if (chunks.empty() && !rows_changed) return missed(what);
    for (Listing &chunk : chunks) {
      for (Entry &e : chunk.entries)
        if (e.name == name) {
          if (child) e.child.id = *child;
          e.child.kind = kind;
        }
      OSTREL_ERR(set_listing(chunk, encode(chunk.entries)));
    }
    return nullptr;
  }

  ostrel_error *loop_directory_versions() override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE dirkey SET parent=id, parent_asof=1 RETURNING 1"));
    return changed(st, "directory key");
  }

  ostrel_error *move_origins(ostrel_revnum from, ostrel_revnum to) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE node_origin SET rev=?2 WHERE rev=?1 RETURNING 1"));
    return changed(st.bind(1, from).bind(2, to), "node origin in revision " + std::to_string(from));
  }

  ostrel_error *forget_origins() override { return store_.exec("DELETE FROM node_origin"); }

  ostrel_error *set_content_sha(int64_t content, const std::string &sha) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE content SET sha=?2 WHERE id=?1 RETURNING 1"));
    st.bind(1, content);
    // Format 3 keeps a SHA-256 as its 32 bytes.
    const std::string bytes = encoded_ ? sha_bytes(sha) : sha;
    if (bytes.size() == 32)
      st.bind_blob(2, bytes.data(), bytes.size());
    else
      st.bind(2, sha);
    return changed(st, "contents " + std::to_string(content));
  }

  ostrel_error *set_chunk_length(int64_t content, int64_t seq, int64_t raw_len) override {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, records_ ? "UPDATE chunk SET raw_len=?3 WHERE content=?1 AND"
                                             " seq=?2 RETURNING 1"
                                           : "UPDATE pchunk SET raw_len=?3 WHERE content=?1 AND"
                                             " seq=?2 RETURNING 1"));
    return changed(st.bind(1, content).bind(2, seq).bind(3, raw_len), chunk_name(content, seq));
  }

  ostrel_error *stored_size(int64_t content, int64_t seq, int64_t *size) override {
    if (records_) {
      std::string data;
      OSTREL_ERR(record_bytes(content, seq, &data));
      *size = static_cast<int64_t>(data.size());
      return nullptr;
    }
    Spot spot;
    OSTREL_ERR(where(content, seq, &spot));
    *size = spot.len;
    return nullptr;
  }

  ostrel_error *flip_stored_byte(int64_t content, int64_t seq, int64_t offset) override {
    if (records_) {
      std::string data;
      OSTREL_ERR(record_bytes(content, seq, &data));
      if (offset < 0 || offset >= static_cast<int64_t>(data.size()))
        return missed("byte " + std::to_string(offset) + " in " + chunk_name(content, seq));
      data[static_cast<size_t>(offset)] ^= 0x20;
      return set_record_bytes(content, seq, data);
    }
    Spot spot;
    OSTREL_ERR(where(content, seq, &spot));
    if (offset < 0 || offset >= spot.len)
      return missed("byte " + std::to_string(offset) + " in " + chunk_name(content, seq));
    std::fstream f(spot.file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(spot.off + offset);
    char c = 0;
    f.get(c);
    f.seekp(spot.off + offset);
    f.put(static_cast<char>(c ^ 0x20));
    f.close();
    if (!f) return missed("readable pack " + spot.file);
    return nullptr;
  }

  ostrel_error *cut_stored(int64_t content, int64_t seq, int64_t keep) override {
    if (records_) {
      std::string data;
      OSTREL_ERR(record_bytes(content, seq, &data));
      data.resize(std::min(data.size(), static_cast<size_t>(keep)));
      return set_record_bytes(content, seq, data);
    }
    Spot spot;
    OSTREL_ERR(where(content, seq, &spot));
    std::error_code ec;
    std::filesystem::resize_file(spot.file, static_cast<uintmax_t>(spot.off + keep), ec);
    if (ec) return missed("pack " + spot.file + " to cut (" + ec.message() + ")");
    return nullptr;
  }

  ostrel_error *remove_stored(int64_t content, int64_t seq) override {
    if (records_) {
      Stmt st;
      OSTREL_ERR(store_.prepare(st, "DELETE FROM chunk WHERE content=?1 AND seq=?2 RETURNING 1"));
      return changed(st.bind(1, content).bind(2, seq), chunk_name(content, seq));
    }
    Spot spot;
    OSTREL_ERR(where(content, seq, &spot));
    std::error_code ec;
    if (!std::filesystem::remove(spot.file, ec)) return missed("pack " + spot.file + " to remove");
    return nullptr;
  }

  ostrel_error *damage_listing(const std::string &name, Encoding how) override {
    if (!encoded_) return Damage::damage_listing(name, how);
    std::vector<Listing> chunks;
    OSTREL_ERR(listings_holding(name, &chunks));
    if (chunks.empty()) return missed("listing chunk with entry '" + name + "'");
    Listing &chunk = chunks.front();  // the oldest key's
    std::string body = encode(chunk.entries);
    switch (how) {
      case Encoding::kCutShort:
        body.pop_back();
        break;
      case Encoding::kTrailingByte:
        body += '\x05';  // a name of 5 bytes, none of which follow
        break;
      case Encoding::kNamesOutOfOrder:
        if (chunk.entries.size() < 2)
          return missed("second entry in the listing chunk of '" + name + "'");
        std::swap(chunk.entries[0], chunk.entries[1]);
        body = encode(chunk.entries);
        break;
      case Encoding::kOverlongNumber:
        body.clear();
        for (const Entry &e : chunk.entries) {
          if (e.name != name) {
            append_chunk_entry(body, e.name, e.child);
            continue;
          }
          // The name, then a child id whose continuation bits run past 64,
          // then the kind: NAME_PART is the entry (NAME, 0, 0) less its two
          // one-byte numbers, KIND_PART the entry ("", 1, kind) less its
          // first two bytes.
          std::string name_part, kind_part;
          append_chunk_entry(name_part, e.name, Child{});
          name_part.resize(name_part.size() - 2);
          append_chunk_entry(kind_part, "", Child{1, e.child.kind});
          body += name_part + std::string(10, '\xff') + '\x01' + kind_part.substr(2);
        }
        break;
    }
    return set_listing(chunk, body);
  }

  ostrel_error *damage_changed_paths(ostrel_revnum rev, Encoding how) override {
    if (!encoded_ || (how != Encoding::kCutShort && how != Encoding::kTrailingByte))
      return Damage::damage_changed_paths(rev, how);
    std::vector<ChangedPath> rows;
    bool found;
    OSTREL_ERR(encoded_changes(rev, &rows, &found));
    if (!found || rows.empty()) return missed("changed paths of revision " + std::to_string(rev));
    std::string body = encode_changed_paths(rows);
    if (how == Encoding::kCutShort)
      body.pop_back();
    else
      body += '\x05';
    return set_encoded_body(rev, body);
  }

  ostrel_error *tally(Counts *out) override {
    *out = Counts{};
    OSTREL_ERR(count(blocks_ ? "SELECT coalesce(sum(count), 0) FROM nodeblock"
                             : "SELECT count(*) FROM node",
                     &out->nodes));
    OSTREL_ERR(count("SELECT count(*) FROM content", &out->contents));
    OSTREL_ERR(count("SELECT count(*) FROM txn", &out->transactions));
    OSTREL_ERR(count("SELECT count(*) FROM content WHERE txn IS NOT NULL",
                     &out->unfinished_contents));
    const char *table = records_ ? "chunk" : "pchunk";
    OSTREL_ERR(count(("SELECT count(*) FROM " + std::string(table) +
                      " WHERE content NOT IN (SELECT id FROM content)").c_str(),
                     &out->stray_chunks));
    OSTREL_ERR(count(("SELECT count(*) FROM " + std::string(table)).c_str(), &out->chunks));
    if (records_) {
      OSTREL_ERR(count("SELECT coalesce(sum(length(data)), 0) FROM chunk", &out->stored_bytes));
      out->held_bytes = out->stored_bytes;
      return nullptr;
    }
    OSTREL_ERR(count("SELECT count(*) FROM content WHERE base IS NOT NULL", &out->deltas));
    OSTREL_ERR(count("SELECT coalesce(max(depth), 0) FROM content", &out->deepest_delta));
    OSTREL_ERR(count("SELECT coalesce(sum(len), 0) FROM pchunk", &out->stored_bytes));
    int64_t marked;
    OSTREL_ERR(count("SELECT coalesce(sum(end_off), 0) FROM pack", &marked));
    int64_t on_disk = 0;
    std::error_code ec;
    for (auto &f : std::filesystem::directory_iterator(dir_ + "/packs", ec))
      on_disk += static_cast<int64_t>(f.file_size());
    out->unmarked_bytes = on_disk - marked;
    out->held_bytes = on_disk;
    return nullptr;
  }

 private:
  struct Spot {
    std::string file;
    int64_t off = 0;
    int64_t len = 0;
  };

  static std::string chunk_name(int64_t content, int64_t seq) {
    return "chunk " + std::to_string(seq) + " of contents " + std::to_string(content);
  }

  // Steps ST, which returns a row for each one it changed.
  static ostrel_error *changed(Stmt &st, const std::string &what) {
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return missed(what);
    while (row) OSTREL_ERR(st.step(&row));
    return nullptr;
  }

  ostrel_error *count(const char *sql, int64_t *n) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, sql));
    bool row;
    OSTREL_ERR(st.step(&row));
    *n = row ? st.int64(0) : 0;
    return nullptr;
  }

  ostrel_error *where(int64_t content, int64_t seq, Spot *spot) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT pack, off, len FROM pchunk WHERE content=?1 AND seq=?2"));
    st.bind(1, content).bind(2, seq);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return missed(chunk_name(content, seq));
    spot->file = dir_ + "/packs/pack-" + std::to_string(st.int64(0));
    spot->off = st.int64(1);
    spot->len = st.int64(2);
    return nullptr;
  }

  ostrel_error *record_bytes(int64_t content, int64_t seq, std::string *data) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT data FROM chunk WHERE content=?1 AND seq=?2"));
    st.bind(1, content).bind(2, seq);
    bool row;
    OSTREL_ERR(st.step(&row));
    if (!row) return missed(chunk_name(content, seq));
    const char *b = static_cast<const char *>(st.blob(0));
    data->assign(b ? b : "", b ? st.bytes(0) : 0);
    return nullptr;
  }

  ostrel_error *set_record_bytes(int64_t content, int64_t seq, const std::string &data) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE chunk SET data=?3 WHERE content=?1 AND seq=?2"));
    return st.bind(1, content).bind(2, seq).bind_blob(3, data.data(), data.size()).run();
  }

  // Format 3's encoded records, decoded into copies that own their names.
  struct Entry {
    std::string name;
    Child child;
  };
  struct Listing {
    int64_t dkey = 0;
    std::string first;
    std::vector<Entry> entries;
  };

  static std::string encode(const std::vector<Entry> &entries) {
    std::string body;
    for (const Entry &e : entries) append_chunk_entry(body, e.name, e.child);
    return body;
  }

  // The listing chunks that hold an entry NAME, oldest key first.
  ostrel_error *listings_holding(const std::string &name, std::vector<Listing> *out) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT dkey, first, body FROM dirchunk ORDER BY dkey, first"));
    std::vector<ChunkEntry> decoded;
    while (true) {
      bool row;
      OSTREL_ERR(st.step(&row));
      if (!row) return nullptr;
      const std::string body = blob_text(st, 2);
      if (!decode_chunk(body.data(), body.size(), decoded))
        return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                    "Listing chunk '%s' of directory key %lld is damaged already",
                                    st.text(1).c_str(), static_cast<long long>(st.int64(0)));
      Listing chunk{st.int64(0), st.text(1), {}};
      bool holds = false;
      for (const ChunkEntry &e : decoded) {
        chunk.entries.push_back(Entry{std::string(e.name), e.child});
        holds = holds || e.name == name;
      }
      if (holds) out->push_back(std::move(chunk));
    }
  }

  ostrel_error *set_listing(const Listing &chunk, const std::string &body) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE dirchunk SET body=?3 WHERE dkey=?1 AND first=?2"
                                  " RETURNING 1"));
    st.bind(1, chunk.dkey).bind(2, chunk.first).bind_blob(3, body.data(), body.size());
    return changed(st, "listing chunk '" + chunk.first + "'");
  }

  ostrel_error *damage_node_block(int64_t id, Encoding how) override {
    if (!blocks_ || (how != Encoding::kCutShort && how != Encoding::kTrailingByte))
      return Damage::damage_node_block(id, how);
    std::string body;
    NodeBlockView view;
    OSTREL_ERR(block_of(id, &body, &view));
    std::vector<std::string> records;
    for (int64_t k = view.first(); k < view.first() + view.count(); ++k) {
      std::string_view bytes;
      if (!view.record(k, &bytes)) return missed("readable block of node " + std::to_string(id));
      records.emplace_back(bytes);
    }
    std::string &mine = records[static_cast<size_t>(id - view.first())];
    if (how == Encoding::kCutShort)
      mine.pop_back();
    else
      mine += '\x01';
    return set_block(view.first(), assemble_node_block(view.base(), records), std::nullopt);
  }

  // The block holding node ID: its BODY, and VIEW reading it.
  ostrel_error *block_of(int64_t id, std::string *body, NodeBlockView *view) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT first, count, body FROM nodeblock WHERE first<=?1 "
                                  "ORDER BY first DESC LIMIT 1"));
    bool found;
    OSTREL_ERR(st.bind(1, id).step(&found));
    if (found) *body = blob_text(st, 2);
    if (!found || !view->open(body->data(), body->size(), st.int64(0), st.int64(1)) ||
        !view->holds(id))
      return missed("block of node " + std::to_string(id));
    return nullptr;
  }

  ostrel_error *set_block(int64_t first, const std::string &body, std::optional<int64_t> lines) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "UPDATE nodeblock SET body=?2, lines=coalesce(?3, lines) "
                                  "WHERE first=?1"));
    st.bind(1, first).bind_blob(2, body.data(), body.size());
    if (lines) st.bind(3, *lines);
    else st.bind_null(3);
    return st.run();
  }

  // Format 5: node ROW.id's record in its block becomes ROW (but for its
  // directory version), the block re-encoded as a commit would encode it.
  ostrel_error *rewrite_block_node(const NodeRow &row) {
    std::string body;
    NodeBlockView view;
    OSTREL_ERR(block_of(row.id, &body, &view));
    std::vector<NodeRow> nodes;
    if (!view.all(nodes))
      return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                  "The block of node %lld is damaged already",
                                  static_cast<long long>(row.id));
    NodeRow &n = nodes[static_cast<size_t>(row.id - view.first())];
    const View dir = n.dir;
    n = row;
    n.dir = dir;
    int64_t lines = 0;
    for (const NodeRow &m : nodes) lines += m.pred ? 0 : 1;
    return set_block(view.first(), encode_node_block(nodes.data(), nodes.size(), view.base()),
                     lines);
  }

  // The changed paths of revision REV as stored (*FOUND: it has a record).
  ostrel_error *encoded_changes(ostrel_revnum rev, std::vector<ChangedPath> *out, bool *found) {
    out->clear();
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "SELECT body FROM revchanges WHERE rev=?1"));
    st.bind(1, int64_t{rev});
    OSTREL_ERR(st.step(found));
    if (!*found) return nullptr;
    const std::string body = blob_text(st, 0);
    if (!decode_changed_paths(body.data(), body.size(), *out))
      return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr,
                                  "The changed paths of revision %ld are damaged already",
                                  static_cast<long>(rev));
    return nullptr;
  }

  ostrel_error *set_encoded_changes(ostrel_revnum rev, const std::vector<ChangedPath> &rows) {
    return set_encoded_body(rev, encode_changed_paths(rows));
  }

  ostrel_error *set_encoded_body(ostrel_revnum rev, const std::string &body) {
    Stmt st;
    OSTREL_ERR(store_.prepare(st, "INSERT OR REPLACE INTO revchanges(rev, body) VALUES(?1, ?2)"));
    return st.bind(1, int64_t{rev}).bind_blob(2, body.data(), body.size()).run();
  }

  static std::string blob_text(const Stmt &st, int col) {
    const char *b = static_cast<const char *>(st.blob(col));
    return b ? std::string(b, st.bytes(col)) : std::string();
  }

  std::string dir_;
  Store store_;
  bool records_ = false;  // format 1: the chunk rows hold the contents
  bool encoded_ = false;  // formats 3 and 5: listing chunks and encoded changed paths
  bool blocks_ = false;   // format 5: node blocks
};

}  // namespace

ostrel_error *open_sqlite_damage(const std::string &repo_dir, std::unique_ptr<Damage> *out) {
  auto damage = std::make_unique<SqliteDamage>(repo_dir);
  OSTREL_ERR(damage->open());
  *out = std::move(damage);
  return nullptr;
}

ostrel_error *rewrite_as_format1(const std::string &repo_dir) {
  {
    Store store;
    OSTREL_ERR(store.open(repo_dir + "/fs.db", false, 10000));
    // The records format 1 had: contents as rows of the chunk table.
    OSTREL_ERR(store.exec(
        "DROP TABLE pchunk; DROP TABLE pack;"
        "ALTER TABLE content DROP COLUMN base;"
        "ALTER TABLE content DROP COLUMN depth;"
        "CREATE TABLE chunk(content INTEGER NOT NULL, seq INTEGER NOT NULL,"
        "  raw_len INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(content, seq));"
        "UPDATE meta SET value='1' WHERE key='format';"));
  }
  std::error_code ec;
  std::filesystem::remove_all(repo_dir + "/packs", ec);
  std::ofstream(repo_dir + "/format") << "1\n";
  return nullptr;
}

}  // namespace ostrel::fs
