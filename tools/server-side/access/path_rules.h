// Path rules of the repository server: who may read and write where.
//
// A rules file holds one rule per line; '#' at the start of a line or after
// white space starts a comment, and blank lines are ignored.
//
//   group NAME = USER, USER...    defines a group (each NAME once; members
//                                 are user names, not other groups)
//   PATH WHO ACCESS               grants ACCESS on PATH and everything below
//
// PATH is "/REPO[/some/path]" (one repository) or "/*[/some/path]" (every
// repository), without empty, "." or ".." segments and without white space.
// WHO is a user name, "@GROUP" (a group defined anywhere in the file) or "*"
// (everyone, anonymous included).  ACCESS is "rw", "r" or "-".  The same
// PATH and WHO may appear only once.
//
// Deciding the access of USER to /REPO/p:
//  1. Among the rule paths that cover /REPO/p (its own path or a parent;
//     "/*/x" covers /REPO/x for every REPO), take the most specific one that
//     has a line matching USER: the deepest, and at equal depth "/REPO/..."
//     before "/*/...".
//  2. At that path, a line naming USER decides; else the lines of USER's
//     groups decide together (the widest access among them); else the "*"
//     line decides.
//  3. No matching line anywhere means no access.
// Anonymous requests (no user) match "*" lines only.
//
// Without a rules file the server uses the default policy: authenticated
// users may read and write everything, anonymous requests nothing.
#ifndef OSTREL_SERVER_PATH_RULES_H
#define OSTREL_SERVER_PATH_RULES_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_error.h"

namespace ostrel_server {

enum class Access { none = 0, read = 1, read_write = 2 };

class PathRules {
 public:
  // The default policy (no rules file).
  PathRules() = default;

  // Parses TEXT, the contents of the rules file called FILE_NAME (used in
  // messages), into *RULES.  A malformed line gives OSTREL_ERR_BAD_CONFIG_FILE
  // naming FILE_NAME and the line number; *RULES is then unchanged.
  static ostrel_error *parse(std::string_view text, const char *file_name, PathRules *rules);

  // Reads and parses the rules file at PATH (errors as parse(), or
  // OSTREL_ERR_BAD_CONFIG_FILE when the file cannot be read).
  static ostrel_error *load(const char *path, PathRules *rules);

  // The access of USER (nullptr: anonymous) to PATH ("/some/path", "/" for
  // the root; "" is taken as "/") of repository REPO.
  Access access(std::string_view repo, std::string_view path, const char *user) const;

  bool may_read(std::string_view repo, std::string_view path, const char *user) const {
    return access(repo, path, user) >= Access::read;
  }
  bool may_write(std::string_view repo, std::string_view path, const char *user) const {
    return access(repo, path, user) == Access::read_write;
  }

  // Whether USER may read (write) PATH and everything below it: what copying
  // (deleting) a whole directory needs.  A deeper rule that takes the access
  // away anywhere below PATH makes the answer false.
  bool may_read_tree(std::string_view repo, std::string_view path, const char *user) const {
    return tree_allows(repo, path, user, Access::read);
  }
  bool may_write_tree(std::string_view repo, std::string_view path, const char *user) const {
    return tree_allows(repo, path, user, Access::read_write);
  }

 private:
  struct Grants {
    std::map<std::string, Access, std::less<>> users;
    std::map<std::string, Access, std::less<>> groups;
    std::optional<Access> everyone;
  };
  // Key: the in-repository path ("" for the repository's root, else
  // "/a/b"); one map per repository name, "*" for every repository.
  using PathGrants = std::map<std::string, Grants, std::less<>>;

  std::optional<Access> decide(const Grants &grants, const char *user) const;
  bool tree_allows(std::string_view repo, std::string_view path, const char *user,
                   Access needed) const;

  bool loaded_ = false;
  std::map<std::string, PathGrants, std::less<>> repos_;
  std::map<std::string, std::set<std::string, std::less<>>, std::less<>> user_groups_;
};

}  // namespace ostrel_server

#endif  // OSTREL_SERVER_PATH_RULES_H
