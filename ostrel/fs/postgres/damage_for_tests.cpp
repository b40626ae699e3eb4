// Damage to a repository in PostgreSQL (damage_for_tests.h): its records,
// and the stored chunks its chunk records name.  Each statement returns the
// rows it changed, so that damage that missed its target is an error.

#include "../damage_for_tests.h"
#include "pg_conn.h"

namespace ostrel::fs {

namespace {

using pg::Conn;
using pg::Params;
using pg::Result;

ostrel_error *missed(const std::string &what) {
  return ostrel_error_createf(OSTREL_ERR_MALFUNCTION, nullptr, "Nothing to damage: no %s",
                              what.c_str());
}

std::string chunk_name(int64_t content, int64_t seq) {
  return "chunk " + std::to_string(seq) + " of contents " + std::to_string(content);
}

// The stored chunk a chunk record names.
#define BLOB_OF_CHUNK "(SELECT ref FROM chunk WHERE content=$1 AND seq=$2)"

class PostgresDamage : public Damage {
 public:
  explicit PostgresDamage(const std::string &conninfo) : conn_(conninfo, "damage") {}

  ostrel_error *set_revision_root(ostrel_revnum rev, int64_t root) override {
    return changed("UPDATE revision SET root=$2 WHERE rev=$1 RETURNING 1",
                   Params().int64(rev).int64(root), "revision " + std::to_string(rev));
  }

  ostrel_error *replace_changed_path(ostrel_revnum rev, const std::string &path,
                                     const ChangedPath &row) override {
    OSTREL_ERR(changed("DELETE FROM changed_path WHERE rev=$1 AND path=$2 RETURNING 1",
                       Params().int64(rev).text(path),
                       "changed path '" + path + "' in revision " + std::to_string(rev)));
    return add_changed_path(rev, row);
  }

  ostrel_error *add_changed_path(ostrel_revnum rev, const ChangedPath &row) override {
    Params p;
    p.int64(rev).text(row.path).int64(row.change).int64(row.node_kind).int64(row.text_mod);
    p.int64(row.prop_mod);
    if (row.copy_path)
      p.text(*row.copy_path);
    else
      p.null();
    if (row.copy_rev)
      p.int64(*row.copy_rev);
    else
      p.null();
    return changed("INSERT INTO changed_path(rev, path, change, node_kind, text_mod, prop_mod,"
                   " copy_path, copy_rev) VALUES($1, $2, $3, $4, $5, $6, $7, $8) RETURNING 1",
                   p, "changed path '" + row.path + "'");
  }

  ostrel_error *rewrite_node(const NodeRow &row) override {
    Params p;
    p.int64(row.id).int64(row.kind).int64(row.nid);
    if (row.pred)
      p.int64(row.pred);
    else
      p.null();
    p.int64(row.line).int64(row.created_rev);
    if (row.copy_path)
      p.text(*row.copy_path);
    else
      p.null();
    if (row.copy_rev >= 0)
      p.int64(row.copy_rev);
    else
      p.null();
    if (row.content)
      p.int64(row.content);
    else
      p.null();
    p.bytes(row.props);
    return changed("UPDATE node SET kind=$2, nid=$3, pred=$4, line=$5, created_rev=$6,"
                   " copy_path=$7, copy_rev=$8, content=$9, props=$10 WHERE id=$1 RETURNING 1",
                   p, "node " + std::to_string(row.id));
  }

  ostrel_error *rewrite_entries(const std::string &name, std::optional<int64_t> child,
                                int64_t kind) override {
    Params p;
    p.text(name).int64(kind);
    if (child)
      p.int64(*child);
    else
      p.null();
    return changed("UPDATE dirent SET kind=$2, child=coalesce($3::bigint, child) WHERE name=$1"
                   " RETURNING 1",
                   p, "entry '" + name + "'");
  }

  ostrel_error *loop_directory_versions() override {
    return changed("UPDATE dirkey SET parent=id, parent_asof=1 RETURNING 1", Params(),
                   "directory key");
  }

  ostrel_error *move_origins(ostrel_revnum from, ostrel_revnum to) override {
    return changed("UPDATE node_origin SET rev=$2 WHERE rev=$1 RETURNING 1",
                   Params().int64(from).int64(to),
                   "node origin in revision " + std::to_string(from));
  }

  ostrel_error *forget_origins() override {
    return conn_.query("DELETE FROM node_origin", Params(), nullptr, "damage node origins");
  }

  ostrel_error *set_content_sha(int64_t content, const std::string &sha) override {
    return changed("UPDATE content SET sha=$2 WHERE id=$1 RETURNING 1",
                   Params().int64(content).text(sha), "contents " + std::to_string(content));
  }

  ostrel_error *set_chunk_length(int64_t content, int64_t seq, int64_t raw_len) override {
    return changed("UPDATE chunk SET raw_len=$3 WHERE content=$1 AND seq=$2 RETURNING 1",
                   Params().int64(content).int64(seq).int64(raw_len), chunk_name(content, seq));
  }

  ostrel_error *stored_size(int64_t content, int64_t seq, int64_t *size) override {
    Result r;
    OSTREL_ERR(conn_.query("SELECT octet_length(data)::bigint FROM blob WHERE key=" BLOB_OF_CHUNK,
                           Params().int64(content).int64(seq), &r, "damage"));
    if (r.rows() == 0) return missed("stored " + chunk_name(content, seq));
    *size = r.int64(0, 0);
    return nullptr;
  }

  ostrel_error *flip_stored_byte(int64_t content, int64_t seq, int64_t offset) override {
    return changed("UPDATE blob SET data=set_byte(data, $3::int, get_byte(data, $3::int) # 32)"
                   " WHERE key=" BLOB_OF_CHUNK " AND octet_length(data) > $3 RETURNING 1",
                   Params().int64(content).int64(seq).int64(offset),
                   "byte " + std::to_string(offset) + " in " + chunk_name(content, seq));
  }

  ostrel_error *cut_stored(int64_t content, int64_t seq, int64_t keep) override {
    return changed("UPDATE blob SET data=substring(data FROM 1 FOR $3::int) WHERE key="
                   BLOB_OF_CHUNK " RETURNING 1",
                   Params().int64(content).int64(seq).int64(keep),
                   "stored " + chunk_name(content, seq));
  }

  ostrel_error *remove_stored(int64_t content, int64_t seq) override {
    return changed("DELETE FROM blob WHERE key=" BLOB_OF_CHUNK " RETURNING 1",
                   Params().int64(content).int64(seq), "stored " + chunk_name(content, seq));
  }

  ostrel_error *tally(Counts *out) override {
    Result r;
    OSTREL_ERR(conn_.query(
        "SELECT (SELECT count(*) FROM txn), (SELECT count(*) FROM content WHERE txn IS NOT NULL),"
        " (SELECT count(*) FROM chunk WHERE content NOT IN (SELECT id FROM content)),"
        " (SELECT count(*) FROM chunk), (SELECT count(*) FROM node),"
        " (SELECT count(*) FROM content), (SELECT count(*) FROM content WHERE base IS NOT NULL),"
        " (SELECT coalesce(max(depth), 0) FROM content),"
        " (SELECT coalesce(sum(octet_length(b.data)), 0)::bigint FROM chunk c JOIN blob b"
        "  ON b.key = c.ref), (SELECT coalesce(sum(octet_length(data)), 0)::bigint FROM blob)",
        Params(), &r, "count records"));
    *out = Counts{};
    int64_t *fields[] = {&out->transactions, &out->unfinished_contents, &out->stray_chunks,
                         &out->chunks,       &out->nodes,               &out->contents,
                         &out->deltas,       &out->deepest_delta,       &out->stored_bytes,
                         &out->held_bytes};
    for (int i = 0; i < 10; ++i) *fields[i] = r.int64(0, i);
    return nullptr;
  }

 private:
  ostrel_error *changed(const char *sql, const Params &params, const std::string &what) {
    Result r;
    OSTREL_ERR(conn_.query(sql, params, &r, "damage"));
    return r.rows() ? nullptr : missed(what);
  }

  Conn conn_;
};

}  // namespace

void drop_idle_connections() { pg::drain_pool(); }

ostrel_error *open_postgres_damage(const std::string &conninfo, std::unique_ptr<Damage> *out) {
  *out = std::make_unique<PostgresDamage>(conninfo);
  return nullptr;
}

}  // namespace ostrel::fs
