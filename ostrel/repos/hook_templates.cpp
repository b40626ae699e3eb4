// What a new repository gets in hooks/ and conf/: one commented template per
// hook, not executable (a template is documentation, never a hook that runs
// by surprise), and the hook configuration with its default.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "layout.h"

namespace {

struct Template {
  const char *name;
  const char *text;
};

constexpr Template kTemplates[] = {
    {"start-commit",
     "# start-commit REPOS-PATH USER CAPABILITIES\n"
     "#\n"
     "# Runs before a commit's transaction is begun.  USER is the author the\n"
     "# revision will carry (\"\" for none); CAPABILITIES is a colon-separated\n"
     "# list of what the client can do (empty today).  Exit non-zero to refuse\n"
     "# the commit: what the hook writes on standard error is shown to the\n"
     "# committer.\n"},
    {"pre-commit",
     "# pre-commit REPOS-PATH TXN-NAME\n"
     "#\n"
     "# Runs once the whole change has arrived, before the revision exists.\n"
     "# Read the pending change with\n"
     "#   ostrel-admin log REPOS-PATH -t TXN-NAME        (its log, author)\n"
     "#   ostrel-admin changed REPOS-PATH -t TXN-NAME    (its changed paths)\n"
     "#   ostrel-admin cat|ls|proplist REPOS-PATH ... -t TXN-NAME\n"
     "# Exit non-zero to refuse the commit; standard error is shown to the\n"
     "# committer.  Example: refuse an empty log message.\n"
     "#\n"
     "#   log=$(ostrel-admin log \"$1\" -t \"$2\" | sed -n 's/^ostrel:log: //p')\n"
     "#   [ -n \"$log\" ] || { echo 'A log message is required' >&2; exit 1; }\n"},
    {"post-commit",
     "# post-commit REPOS-PATH REV TXN-NAME\n"
     "#\n"
     "# Runs after revision REV exists (to tell other systems about it).  It\n"
     "# cannot undo the commit: a failure is shown to the committer as a\n"
     "# warning and appended to REPOS-PATH/log/hooks.log.\n"},
    {"pre-revprop-change",
     "# pre-revprop-change REPOS-PATH REV USER PROPNAME ACTION\n"
     "#\n"
     "# Runs before a revision property of a committed revision changes; ACTION\n"
     "# is A (added), M (modified) or D (deleted); the new value is on standard\n"
     "# input.  Exit non-zero to refuse the change.\n"},
    {"post-revprop-change",
     "# post-revprop-change REPOS-PATH REV USER PROPNAME ACTION\n"
     "#\n"
     "# Runs after the change; the old value is on standard input.  A failure is\n"
     "# a warning, appended to REPOS-PATH/log/hooks.log.\n"},
};

constexpr char kCommon[] =
    "#\n"
    "# To enable this hook, copy this file to a file named after the hook (no\n"
    "# .tmpl) and make it executable.  It runs as the user of the process that\n"
    "# commits (the server's user for network commits), with PATH as its only\n"
    "# environment variable, no terminal, and the repository as its working\n"
    "# directory, for at most the time limit set in conf/hooks.conf.\n"
    "\n"
    "exit 0\n";

constexpr char kConf[] =
    "# Hook settings of this repository.\n"
    "[hooks]\n"
    "# Seconds a hook may run before it is stopped and counts as failed\n"
    "# (1 to 86400).\n"
    "timeout-seconds = 60\n";

ostrel_error *write_file(const std::string &path, const std::string &text, mode_t mode) {
  FILE *f = std::fopen(path.c_str(), "wx");
  if (!f) return ostrel_error_from_errno(errno, "Can't create file '%s'", path.c_str());
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int e = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) return ostrel_error_from_errno(e, "Can't write file '%s'", path.c_str());
  chmod(path.c_str(), mode);
  return nullptr;
}

ostrel_error *make_dir(const std::string &path) {
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    return ostrel_error_from_errno(errno, "Can't create directory '%s'", path.c_str());
  return nullptr;
}

}  // namespace

namespace ostrel::repos {

ostrel_error *write_hook_templates(const char *path) {
  const std::string hooks = child(path, "hooks"), conf = child(path, "conf");
  OSTREL_ERR(make_dir(hooks));
  for (const Template &t : kTemplates)
    OSTREL_ERR(write_file(child(hooks, t.name) + ".tmpl",
                          std::string("#!/bin/sh\n") + t.text + kCommon, 0644));
  OSTREL_ERR(make_dir(conf));
  return write_file(child(conf, "hooks.conf"), kConf, 0644);
}

}  // namespace ostrel::repos
