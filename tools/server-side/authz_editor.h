// A commit editor that lets a drive through only where the path rules allow
// it, in front of the editor that makes the commit.
//
// Every change needs write access to the path it changes: deleting or
// replacing a node needs write access to everything below it as well, and
// adding a copy needs read access to everything below the copy source.  A
// refused call gives OSTREL_ERR_AUTHZ_DENIED before the wrapped editor sees
// it, so the caller cancels the edit and nothing is committed.  A refusal
// names only the path the client itself sent, and errors of the wrapped
// editor about paths the user may not read are replaced by the same refusal,
// so that a refusal never tells whether such a path exists.
#ifndef OSTREL_SERVER_AUTHZ_EDITOR_H
#define OSTREL_SERVER_AUTHZ_EDITOR_H

#include <functional>
#include <string>

#include "ostrel_delta.h"
#include "path_rules.h"

namespace ostrel_server {

// Maps a copy URL as the client sent it to the copy source's path inside
// REPO ("/a/b"); returns false when the URL names no path of REPO.
using CopySourcePath = std::function<bool(const char *copy_url, std::string *path)>;

// Makes in *EDITOR / *EDIT_BATON (in POOL) the checking editor in front of
// INNER / INNER_BATON, for USER (nullptr: anonymous) committing to
// repository REPO through a URL whose path inside it is BASE_PATH ("" for
// the root).  RULES must outlive the edit.
void wrap_editor_with_rules(const ostrel_commit_editor **editor, void **edit_baton,
                            const ostrel_commit_editor *inner, void *inner_baton,
                            const PathRules *rules, const char *repo, const char *base_path,
                            const char *user, CopySourcePath copy_source_path, apr_pool_t *pool);

}  // namespace ostrel_server

#endif  // OSTREL_SERVER_AUTHZ_EDITOR_H
