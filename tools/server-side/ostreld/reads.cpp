// The protocol's read requests: discover, youngest and node.
#include "server_internal.h"

#include "answers.h"
#include "ostrel_fs.h"
#include "ostrel_path.h"
#include "wire.h"

namespace ostreld {

MHD_Result answer_read(Request *r, MHD_Connection *connection, const Target &target,
                       apr_pool_t *pool) {
  Server *server = r->server;
  if (r->op != "discover" && r->op != "youngest" && r->op != "node")
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_RA_BAD_REQUEST,
                  "Unknown request '" + r->op + "'");
  // The rules come first: whether a repository exists is not told to
  // those who may not read it.
  const Gate &gate = server->gate;
  Decision decision = gate.authorize(r->identity, target.repos, "/" + target.fs_path, Access::read);
  // Discovery tells only where the repository is: to whoever may read its
  // root, a path hidden from them is found as a missing one would be.
  if (!decision.allowed() && r->op == "discover" && !r->identity.anonymous &&
      gate.authorize(r->identity, target.repos, "/", Access::read).allowed())
    decision = Decision{};
  if (!decision.allowed()) return refuse_as_decided(r, connection, decision);
  ostrel_repos *repos = nullptr;
  if (ostrel_error *err = open_repos(&repos, server, target, r->path, pool))
    return refuse_open(r, connection, err);

  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  ostrel_revnum youngest = 0;
  if (ostrel_error *err = ostrel_fs_youngest_rev(&youngest, filesystem, pool))
    return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);

  if (r->op == "discover")
    return send(r, connection, MHD_HTTP_OK,
                ostrel_wire::encode_answer(ostrel_wire::DiscoverAnswer{
                    std::string("/") + ostrel_path_uri_encode(target.repos.c_str(), pool),
                    youngest,
                    {"commit-stream"}}));
  if (r->op == "youngest")
    return send(r, connection, MHD_HTTP_OK,
                ostrel_wire::encode_answer(ostrel_wire::YoungestAnswer{youngest}));

  // op=node: the kind of the path at a revision, with a directory's entries.
  const char *rev_text = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "rev");
  long long rev = -1;
  if (!rev_text || !ostrel_wire::parse_number(rev_text, rev) || rev < 0)
    return refuse(r, connection, MHD_HTTP_BAD_REQUEST, OSTREL_ERR_BAD_REVISION,
                  "A node request needs a revision number");
  if (rev > youngest)
    return send_error(r, connection, MHD_HTTP_NOT_FOUND,
                      ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                           "No such revision %lld (youngest is %ld)", rev,
                                           static_cast<long>(youngest)));
  ostrel_fs_root *root = nullptr;
  ostrel_node_kind kind = ostrel_node_none;
  apr_hash_t *entries = nullptr;
  ostrel_error *err =
      ostrel_fs_revision_root(&root, filesystem, static_cast<ostrel_revnum>(rev), pool);
  if (!err) err = ostrel_fs_check_path(&kind, root, target.fs_path.c_str(), pool);
  if (!err && kind == ostrel_node_dir)
    err = ostrel_fs_dir_entries(&entries, root, target.fs_path.c_str(), pool);
  if (err) return send_error(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, err);
  ostrel_wire::NodeAnswer node{kind, {}};
  if (entries) {
    for (apr_hash_index_t *hi = apr_hash_first(pool, entries); hi; hi = apr_hash_next(hi)) {
      void *val;
      apr_hash_this(hi, nullptr, nullptr, &val);
      auto *entry = static_cast<ostrel_fs_dirent *>(val);
      // A name the caller may not read is not told.
      std::string child = "/" + target.fs_path + (target.fs_path.empty() ? "" : "/") + entry->name;
      if (!gate.authorize(r->identity, target.repos, child, Access::read).allowed()) continue;
      node.entries.emplace_back(entry->name, entry->kind);
    }
  }
  return send(r, connection, MHD_HTTP_OK, ostrel_wire::encode_answer(node));
}

}  // namespace ostreld
