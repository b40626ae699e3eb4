// Repository hooks: the executables in a repository's hooks/ directory that
// the library runs around every commit and every change of a revision
// property, whoever commits and however.
//
// Contract of one run:
//  - the program is REPOS/hooks/NAME; no such file means no hook.  A file
//    that is not executable, or that cannot be started, refuses the change
//    with a message saying so (a hook that silently does not run would let
//    through what it was put there to stop);
//  - it runs with argv built from the caller's values, never through a
//    shell, so nothing a client sends is ever parsed as a command line;
//  - with a clean environment (PATH only), in a new session (no
//    controlling terminal), the repository's directory as its working
//    directory, stdin from a file (/dev/null, or the property value for the
//    revision-property hooks), stdout discarded and stderr collected (the
//    first kKeptStderr bytes are kept, the rest read and dropped);
//  - for at most the repository's time limit (conf/hooks.conf, default
//    60 s): then its whole process group is killed and it counts as failed.
//    The wait ends when the hook exits, whatever it left running: a
//    descendant that keeps stderr open holds up nobody.

#include <apr_strings.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../fs/filesystem_private.h"
#include "ostrel_error_codes.h"
#include "ostrel_fs.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_repos_admin.h"

namespace {

constexpr size_t kKeptStderr = 16384;
constexpr long kDefaultTimeout = 60;
constexpr long kMaxTimeout = 86400;

std::string hooks_dir(const char *repos_path) { return std::string(repos_path) + "/hooks"; }

// The hook time limit from REPOS/conf/hooks.conf ("timeout-seconds = N" in
// section [hooks]); the default when the file or the option is absent.
ostrel_error *hook_timeout(const char *repos_path, long *seconds) {
  *seconds = kDefaultTimeout;
  const std::string file = std::string(repos_path) + "/conf/hooks.conf";
  std::ifstream in(file);
  if (!in) return nullptr;
  std::string line, section;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    auto trim = [](std::string s) {
      size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    line = trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      section = trim(line.substr(1, line.size() - 2));
      continue;
    }
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? line : trim(line.substr(0, eq));
    std::string value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
    char *end = nullptr;
    long v = value.empty() ? 0 : std::strtol(value.c_str(), &end, 10);
    if (section != "hooks" || key != "timeout-seconds" || value.empty() || *end || v < 1 ||
        v > kMaxTimeout)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                  "Line %d of the hook configuration '%s' is not understood: "
                                  "expected 'timeout-seconds = N' (1 to %ld) in section [hooks]",
                                  lineno, file.c_str(), kMaxTimeout);
    *seconds = v;
  }
  return nullptr;
}

struct Outcome {
  bool ran = false;      // a hook exists and was run
  bool refused = false;  // it failed in one of the ways below
  std::string why;       // "exited with status 1", "was stopped after 60 s", ...
  std::string stderr_text;
};

// Runs hook NAME of the repository at REPOS_PATH with ARGS after the
// repository path, STDIN_FILE (nullptr: /dev/null) as its input.
ostrel_error *run_hook(Outcome *out, const char *repos_path, const char *name,
                       const std::vector<std::string> &args, const char *stdin_file) {
  *out = Outcome{};
  const std::string program = hooks_dir(repos_path) + "/" + name;
  struct stat st;
  if (lstat(program.c_str(), &st) != 0 && errno == ENOENT) return nullptr;
  out->ran = true;
  out->refused = true;
  if (stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out->why = "is not a regular file";
    return nullptr;
  }
  if (access(program.c_str(), X_OK) != 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "is not executable (mode %04o)",
                  static_cast<unsigned>(st.st_mode & 07777));
    out->why = buf;
    return nullptr;
  }
  long timeout = 0;
  OSTREL_ERR(hook_timeout(repos_path, &timeout));

  int pipefd[2];
  // Both ends close on exec: a hook started meanwhile by another thread
  // must not keep this one's pipe open.
  if (pipe2(pipefd, O_CLOEXEC) != 0)
    return ostrel_error_from_errno(errno, "Can't make a pipe for a hook");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_file ? stdin_file : "/dev/null", O_RDONLY,
                                   0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipefd[1]);
  posix_spawn_file_actions_addchdir_np(&actions, repos_path);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_s{program, repos_path};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  char env_path[] = "PATH=/usr/local/bin:/usr/bin:/bin";
  char *envp[] = {env_path, nullptr};

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    out->why = std::string("could not be started: ") + std::strerror(rc);
    return nullptr;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  int status = 0;
  bool exited = false, timed_out = false, eof = false;
  char buf[4096];
  while (!exited) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      exited = true;
      break;
    }
    if (w < 0 && errno != EINTR) {
      // Nothing to wait for (SIGCHLD ignored by the program): the hook's
      // verdict is unknown, which must not pass for a yes.
      const int wait_errno = errno;
      kill(-pid, SIGKILL);
      close(pipefd[0]);
      out->why = std::string("could not be waited for: ") + std::strerror(wait_errno);
      return nullptr;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    // Poll in short steps: the exit is seen by waitpid, not by the pipe.
    struct pollfd p = {pipefd[0], POLLIN, 0};
    int ready = eof ? 0 : poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
    if (eof) {
      struct timespec ts = {0, 20 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    } else if (ready > 0) {
      ssize_t n = read(pipefd[0], buf, sizeof buf);
      if (n > 0) {
        size_t room = kKeptStderr > out->stderr_text.size() ? kKeptStderr - out->stderr_text.size() : 0;
        out->stderr_text.append(buf, std::min(room, static_cast<size_t>(n)));
      } else if (n == 0) {
        eof = true;
      }
    }
  }
  // What the hook wrote before it ended; a descendant still writing is not
  // waited for.
  fcntl(pipefd[0], F_SETFL, fcntl(pipefd[0], F_GETFL) | O_NONBLOCK);
  while (!eof) {
    ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n <= 0) break;
    size_t room = kKeptStderr > out->stderr_text.size() ? kKeptStderr - out->stderr_text.size() : 0;
    out->stderr_text.append(buf, std::min(room, static_cast<size_t>(n)));
  }
  close(pipefd[0]);
  if (out->stderr_text.size() >= kKeptStderr) out->stderr_text += "\n[output cut]";
  while (!out->stderr_text.empty() && out->stderr_text.back() == '\n') out->stderr_text.pop_back();

  if (timed_out) {
    out->why = "was stopped after " + std::to_string(timeout) + " s (its time limit)";
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    out->refused = false;
  } else if (WIFEXITED(status)) {
    out->why = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    out->why = std::string("was killed by signal ") + std::to_string(WTERMSIG(status));
  }
  return nullptr;
}

// The error for a refusal by hook NAME; WHAT is what it refused.
ostrel_error *refusal(const Outcome &o, const char *name, const char *what) {
  std::string msg = std::string(what) + " was refused: the " + name + " hook " + o.why;
  if (!o.stderr_text.empty())
    msg += ", with this output:\n" + o.stderr_text;
  else if (o.why.rfind("exited", 0) == 0)
    msg += " (and no output)";
  return ostrel_error_create(OSTREL_ERR_REPOS_HOOK_FAILURE, nullptr, msg.c_str());
}

ostrel_error *must_pass(const char *repos_path, const char *name,
                        const std::vector<std::string> &args, const char *stdin_file,
                        const char *what) {
  Outcome o;
  OSTREL_ERR(run_hook(&o, repos_path, name, args, stdin_file));
  if (o.refused) return refusal(o, name, what);
  return nullptr;
}

// Appends LINE to REPOS/log/hooks.log: the record of hooks whose failure
// could not refuse anything.
void log_line(const char *repos_path, const std::string &line) {
  std::string dir = std::string(repos_path) + "/log";
  mkdir(dir.c_str(), 0777);
  FILE *f = std::fopen((dir + "/hooks.log").c_str(), "a");
  if (!f) return;
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::fprintf(f, "%s %s\n", stamp, line.c_str());
  std::fclose(f);
}

// Runs a hook that cannot refuse (post-*): its failure becomes *WARNING.
ostrel_error *run_after(const char **warning, const char *repos_path, const char *name,
                        const std::vector<std::string> &args, const char *stdin_file,
                        apr_pool_t *pool) {
  *warning = nullptr;
  Outcome o;
  ostrel_error *err = run_hook(&o, repos_path, name, args, stdin_file);
  std::string msg;
  if (err) {
    msg = std::string("The ") + name + " hook could not run: " + err->message;
    ostrel_error_clear(err);
  } else if (o.refused) {
    msg = std::string("The ") + name + " hook " + o.why;
    if (!o.stderr_text.empty()) msg += ", with this output:\n" + o.stderr_text;
  } else {
    return nullptr;
  }
  std::string logged = msg;
  for (char &c : logged)
    if (c == '\n') c = ' ';
  std::string where = args.empty() ? "" : " (revision " + args.front() + ")";
  log_line(repos_path, std::string(name) + where + ": " + logged);
  *warning = apr_pstrdup(pool, msg.c_str());
  return nullptr;
}

// A temporary file holding VALUE, for a hook's standard input; "" when VALUE
// is null (then /dev/null is used).
ostrel_error *value_file(std::string *path, const ostrel_string *value) {
  path->clear();
  if (!value) return nullptr;
  const char *tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ostrel-hook-XXXXXX";
  int fd = mkstemp(templ.data());
  if (fd < 0) return ostrel_error_from_errno(errno, "Can't make a temporary file for a hook");
  size_t done = 0;
  while (done < value->len) {
    ssize_t n = write(fd, value->data + done, value->len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      close(fd);
      unlink(templ.c_str());
      return ostrel_error_from_errno(e, "Can't write the temporary file '%s'", templ.c_str());
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  *path = templ;
  return nullptr;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_repos_fs_begin_txn_for_commit(ostrel_fs_txn **txn, ostrel_repos *repos,
                                                   ostrel_revnum base_rev, const char *author,
                                                   const char *capabilities, apr_pool_t *pool) {
  const char *path = ostrel_repos_path(repos, pool);
  OSTREL_ERR(must_pass(path, "start-commit", {author ? author : "", capabilities ? capabilities : ""},
                       nullptr, "The commit"));
  OSTREL_ERR(ostrel_fs_begin_txn(txn, ostrel_repos_fs(repos), base_rev, pool));
  if (author)
    OSTREL_ERR(ostrel_fs_change_txn_prop(*txn, OSTREL_PROP_REVISION_AUTHOR,
                                         ostrel_string_create(author, pool), pool));
  return nullptr;
}

ostrel_error *ostrel_repos_fs_commit_txn(const char **conflict_p, ostrel_repos *repos,
                                         ostrel_revnum *new_rev, ostrel_fs_txn *txn,
                                         const char **post_commit_warning, apr_pool_t *pool) {
  if (post_commit_warning) *post_commit_warning = nullptr;
  const char *path = ostrel_repos_path(repos, pool);
  const char *name = ostrel_fs_txn_name(txn, pool);
  // The snapshot is only made when a pre-commit hook is there to read it.
  struct stat st;
  if (lstat((hooks_dir(path) + "/pre-commit").c_str(), &st) == 0) {
    OSTREL_ERR(ostrel_fs_publish_txn(txn, pool));
    ostrel_error *err = must_pass(path, "pre-commit", {name}, nullptr, "The commit");
    ostrel_fs_unpublish_txn(txn, pool);
    OSTREL_ERR(err);
  }
  OSTREL_ERR(ostrel_fs_commit_txn(conflict_p, new_rev, txn, pool));
  const char *warning = nullptr;
  OSTREL_ERR(run_after(&warning, path, "post-commit", {std::to_string(*new_rev), name}, nullptr,
                       pool));
  if (post_commit_warning) *post_commit_warning = warning;
  return nullptr;
}

ostrel_error *ostrel_repos_change_rev_prop_hooked(ostrel_repos *repos, ostrel_revnum rev,
                                                  const char *author, const char *name,
                                                  const ostrel_string *value,
                                                  const char **post_warning, apr_pool_t *pool) {
  if (post_warning) *post_warning = nullptr;
  const char *path = ostrel_repos_path(repos, pool);
  ostrel_string *old = nullptr;
  OSTREL_ERR(ostrel_fs_revision_prop(&old, ostrel_repos_fs(repos), rev, name ? name : "", pool));
  const char *action = !value ? "D" : old ? "M" : "A";
  const std::vector<std::string> args{std::to_string(rev), author ? author : "", name ? name : "",
                                      action};
  std::string file;
  OSTREL_ERR(value_file(&file, value));
  ostrel_error *err = must_pass(path, "pre-revprop-change", args, file.empty() ? nullptr : file.c_str(),
                                apr_psprintf(pool, "Changing revision property '%s' of revision %ld",
                                             name ? name : "", static_cast<long>(rev)));
  if (!file.empty()) unlink(file.c_str());
  OSTREL_ERR(err);
  OSTREL_ERR(ostrel_repos_change_rev_prop(repos, rev, name, value, pool));
  OSTREL_ERR(value_file(&file, old));
  const char *warning = nullptr;
  err = run_after(&warning, path, "post-revprop-change", args, file.empty() ? nullptr : file.c_str(),
                  pool);
  if (!file.empty()) unlink(file.c_str());
  OSTREL_ERR(err);
  if (post_warning) *post_warning = warning;
  return nullptr;
}

}  // extern "C"

extern "C" ostrel_error *ostrel_repos_txn_keep_date(ostrel_fs_txn *txn) {
  return ostrel_fs__keep_txn_date(txn);
}
