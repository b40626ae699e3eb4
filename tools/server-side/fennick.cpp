// fennick: fills a local repository's node-origins index in one pass.
//
// Usage: fennick REPOS-PATH
//
// Walks revisions 1 to the youngest once and asks the library for the origin
// of every node a revision adds or replaces without copy history (the nodes
// that begin a new line of history), so that the library stores each answer
// in its index.  One progress line per revision on standard output.  Memory
// stays bounded by the largest revision: one pool per revision and one per
// changed path, both reused.

#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fennick_rules.h"
#include "ostrel_cmdline.h"
#include "ostrel_error.h"
#include "ostrel_fs.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_utf.h"

namespace {

// The summary of the usage text; its lines end in CR LF.
const char kSummary[] =
    "Crawl the Ostrel repository located at REPOS-PATH in an attempt to\r\n"
    "populate that repository's index of node origins.  \r\n"
    "\r\n"
    "The node origins index is new as of Ostrel 1.5, and behaves as a\r\n"
    "cache to vastly speed up certain history-querying operations.  For\r\n"
    "compatibility with repositories created with pre-1.5 versions of\r\n"
    "Ostrel, Ostrel will gracefully handle cache misses by doing a\r\n"
    "brute-force calculation of the query answer and lazily populating the\r\n"
    "index with answers it calculates.  Unfortunately, calculating that\r\n"
    "information using the brute-force method (instead of having the\r\n"
    "information appear in the index organically) can be very costly.\r\n"
    "\r\n"
    "This tool triggers the lazy index population logic built into\r\n"
    "Ostrel in a fashion far more efficient than is likely to happen\r\n"
    "during typical repository usage.  It can be run while the repository\r\n"
    "is online, too, without interrupting normal Ostrel activities.\r\n";

void print_usage(const char *progname, const char *error_message) {
  std::fprintf(stderr, "Usage: %s REPOS-PATH\n\n%s", progname, kSummary);
  std::fprintf(stderr, "\nERROR: %s\n", error_message);
}

// Queries the origin of every node that revision REVISION of FS starts
// without copy history; *COUNT is how many there were.
ostrel_error *index_revision(ostrel_fs *filesystem, ostrel_revnum revision, int *count, apr_pool_t *pool) {
  *count = 0;
  ostrel_fs_root *root;
  OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, revision, pool));
  apr_hash_t *changed_paths;
  OSTREL_ERR(ostrel_fs_paths_changed2(&changed_paths, root, pool));
  if (apr_hash_count(changed_paths) == 0) return OSTREL_NO_ERROR;

  apr_pool_t *path_pool = ostrel_pool_create_ex(pool, nullptr);
  for (apr_hash_index_t *hi = apr_hash_first(pool, changed_paths); hi; hi = apr_hash_next(hi)) {
    const void *key;
    void *val;
    apr_pool_clear(path_pool);
    apr_hash_this(hi, &key, nullptr, &val);
    const auto *path = static_cast<const char *>(key);
    const auto *change = static_cast<const ostrel_path_change *>(val);
    if (fennick_starts_new_line(change)) {
      ostrel_revnum origin;
      OSTREL_ERR(ostrel_fs_node_origin_rev(&origin, root, path, path_pool));
      ++*count;
    }
  }
  apr_pool_destroy(path_pool);
  return OSTREL_NO_ERROR;
}

ostrel_error *crawl_repository(const char *repos_path, apr_pool_t *pool) {
  ostrel_repos *repos;
  OSTREL_ERR(ostrel_repos_open2(&repos, repos_path, nullptr, pool));
  ostrel_fs *filesystem = ostrel_repos_fs(repos);
  ostrel_revnum youngest;
  OSTREL_ERR(ostrel_fs_youngest_rev(&youngest, filesystem, pool));

  unsigned width = static_cast<unsigned>(std::strlen(apr_ltoa(pool, youngest)));
  const char *progress_fmt =
      apr_psprintf(pool, "[%%%uld/%%%uld]  Found %%d new lines of history.\n", width, width);

  apr_pool_t *revision_pool = ostrel_pool_create_ex(pool, nullptr);
  for (ostrel_revnum rev = 1; rev <= youngest; ++rev) {
    int count;
    apr_pool_clear(revision_pool);
    OSTREL_ERR(index_revision(filesystem, rev, &count, revision_pool));
    std::printf(progress_fmt, static_cast<long>(rev), static_cast<long>(youngest), count);
  }
  apr_pool_destroy(revision_pool);
  return OSTREL_NO_ERROR;
}

}  // namespace

int main(int argc, const char *argv[]) {
  if (ostrel_cmdline_init(argv[0], stderr) != EXIT_SUCCESS) return EXIT_FAILURE;

  apr_pool_t *pool = ostrel_pool_create_ex(nullptr, nullptr);
  ostrel_error *err = OSTREL_NO_ERROR;
  bool usage_error = false;
  if (argc < 2) {
    print_usage(argv[0], "Not enough arguments.");
    usage_error = true;
  } else {
    const char *repos_path;
    err = ostrel_utf_cstring_to_utf8(&repos_path, argv[1], pool);
    if (!err) {
      repos_path = ostrel_dirent_internal_style(repos_path, pool);
      repos_path = ostrel_dirent_canonicalize(repos_path, pool);
      err = crawl_repository(repos_path, pool);
    }
    // Progress lines that never reached their destination (a full disk, a
    // closed pipe) are a failure, not a finished crawl.
    if (!err && (std::fflush(stdout) != 0 || std::ferror(stdout)))
      err = ostrel_error_from_errno(errno ? errno : EIO, "Can't write to standard output");
  }

  // The error chain lives outside the pools, so it is printed after they
  // are gone.
  apr_pool_destroy(pool);
  if (err) {
    ostrel_handle_error2(err, stderr, false, "fennick: ");
    ostrel_error_clear(err);
    return EXIT_FAILURE;
  }
  return usage_error ? EXIT_FAILURE : EXIT_SUCCESS;
}
