// The ostrel-admin subcommands that move whole repositories or trees around:
// backup, dump, load and export.  ostrel-admin.cpp parses the command line and
// calls them; each returns its error chain unprinted.
#ifndef OSTREL_ADMIN_SUBCOMMANDS_H
#define OSTREL_ADMIN_SUBCOMMANDS_H

#include <apr_pools.h>

#include <string>
#include <vector>

#include "ostrel_error.h"
#include "ostrel_types.h"

namespace ostrel_admin {

// A revision given as HEAD on the command line, resolved to the youngest
// revision once the repository is open.
inline constexpr ostrel_revnum kHeadRev = -2;

// Options that only some subcommands take.
struct ExtraOptions {
  long limit = -1;         // log --limit N; -1 for no limit
  bool recursive = false;  // ls -R
  std::string txn;         // -t TXN: read a transaction waiting for its pre-commit hook
  std::string layout;      // import-git --layout
  std::string postgres;    // create --postgres CONNINFO; "" for a local repository
  long long grace = 86400; // collect --grace SECONDS
};
extern ExtraOptions extra_options;

// Progress lines on standard error while a long run goes on, only when
// standard error is a terminal; silent otherwise.
class Progress {
 public:
  explicit Progress(const char *verb);
  ~Progress();
  void revision(ostrel_revnum rev, ostrel_revnum last);
  static void notify(void *baton, ostrel_revnum rev, apr_pool_t *);

  ostrel_revnum last = OSTREL_INVALID_REVNUM;

 private:
  const char *verb_;
  bool shown_ = false;
  bool on_;
};

ostrel_error *run_backup(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                         apr_pool_t *pool);
ostrel_error *run_dump(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum end,
                       bool, apr_pool_t *pool);
ostrel_error *run_load(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum, bool,
                       apr_pool_t *pool);
ostrel_error *run_import_git(const std::vector<std::string> &args, ostrel_revnum, ostrel_revnum,
                             bool, apr_pool_t *pool);
ostrel_error *run_export(const std::vector<std::string> &args, ostrel_revnum start, ostrel_revnum,
                         bool, apr_pool_t *pool);

}  // namespace ostrel_admin

#endif  // OSTREL_ADMIN_SUBCOMMANDS_H
