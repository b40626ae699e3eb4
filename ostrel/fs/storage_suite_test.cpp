// The storage suite: crash points, injected failures, concurrent committers
// and damage-then-verify, over every implementation of the storage seams
// from one table (kImplementations below).  Every case goes through the
// public API, damages through damage_for_tests.h and looks at leftovers
// the same way, so that each implementation must come out the same.  A case
// that needs what only some implementations have (other processes on the
// same repository, local pack files, directory versions kept as chains,
// listings and changed paths kept as encoded records) names that
// capability and is skipped, saying so, on the others.

#include <apr_hash.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <random>

#include "damage_for_tests.h"
#include "filesystem_test_helpers.h"
#include "handles.h"
#include "memory/memory_stores.h"
#include "meta.h"
#include "ostrel_pg_fixture.h"
#include "ostrel_repos.h"

namespace {

using namespace ostrel::fs;
using fs_test::cat;
using fs_test::code_of;
using fs_test::commit_file;
using fs_test::commit_files;
using fs_test::kLentPieces;
using fs_test::make_trunk;
using fs_test::next_piece;
using fs_test::numbered;
using fs_test::put;
using fs_test::take_error;

// What an implementation offers beyond the seams, for the cases that need it.
enum Capability : unsigned {
  kProcesses = 1,        // other processes open the same repository
  kLocalPacks = 2,       // contents in local pack files of the repository directory
  kChainedDirs = 4,      // directory versions kept as changes to older ones
  kUncertainHook = 8,    // the "commit-point" fault point makes a commit's outcome unknown
  kRowDamage = 16,       // typed damage reaches its changed-path, entry and link records
  kEncodedRecords = 32,  // listings and changed paths kept as encoded records
  kNodeBlocks = 64,      // node records kept in encoded blocks
};

enum class Kind { kLocal, kPostgres, kMemory };

// Makes a new local repository at PATH, in POOL.
using MakeLocal = ostrel_error *(*)(const std::string &path, apr_pool_t *pool);

ostrel_error *make_format(const std::string &path, const char *format, apr_pool_t *pool) {
  apr_hash_t *config = apr_hash_make(pool);
  apr_hash_set(config, OSTREL_FS_CONFIG_FORMAT, APR_HASH_KEY_STRING, format);
  ostrel_repos *repos;
  return ostrel_repos_create(&repos, path.c_str(), config, pool);
}

ostrel_error *make_format5(const std::string &path, apr_pool_t *pool) {
  return make_format(path, "5", pool);
}

ostrel_error *make_format3(const std::string &path, apr_pool_t *pool) {
  return make_format(path, "3", pool);
}

ostrel_error *make_format2(const std::string &path, apr_pool_t *pool) {
  return make_format(path, "2", pool);
}

ostrel_error *make_format1(const std::string &path, apr_pool_t *pool) {
  apr_pool_t *p = ostrel_pool_create(pool);
  ostrel_error *err = make_format2(path, p);
  apr_pool_destroy(p);  // closes it before its records are rewritten
  return err ? err : rewrite_as_format1(path);
}

struct Implementation {
  const char *name;
  Kind kind;
  unsigned caps;
  MakeLocal make_local = nullptr;  // for Kind::kLocal
};

// Every implementation the suite runs over; a new format is one more line.
const Implementation kImplementations[] = {
    {"SqliteFormat5", Kind::kLocal,
     kProcesses | kLocalPacks | kChainedDirs | kUncertainHook | kRowDamage | kEncodedRecords |
         kNodeBlocks,
     make_format5},
    {"SqliteFormat3", Kind::kLocal,
     kProcesses | kLocalPacks | kChainedDirs | kUncertainHook | kRowDamage | kEncodedRecords,
     make_format3},
    {"SqliteFormat2", Kind::kLocal,
     kProcesses | kLocalPacks | kChainedDirs | kUncertainHook | kRowDamage,
     make_format2},
    {"SqliteFormat1", Kind::kLocal, kProcesses | kChainedDirs | kUncertainHook | kRowDamage,
     make_format1},
    {"Postgres", Kind::kPostgres, kProcesses | kChainedDirs | kRowDamage},
    {"Memory", Kind::kMemory, kRowDamage},
};

std::string name_of(const ::testing::TestParamInfo<Implementation> &info) {
  return info.param.name;
}

void PrintTo(const Implementation &impl, std::ostream *os) { *os << impl.name; }

const char *capability_name(unsigned cap) {
  switch (cap) {
    case kProcesses: return "other processes on the same repository";
    case kLocalPacks: return "local pack files";
    case kChainedDirs: return "directory versions kept as chains";
    case kUncertainHook: return "a fault point inside its commit";
    case kRowDamage: return "typed damage of its changed-path, entry and link records";
    case kEncodedRecords: return "listings and changed paths kept as encoded records";
    case kNodeBlocks: return "node records kept in encoded blocks";
  }
  return "?";
}

// Skips the case unless the implementation has capability CAP.
#define NEEDS(cap)                                                                          \
  if (!(GetParam().caps & (cap)))                                                           \
  GTEST_SKIP() << GetParam().name << " lacks " << capability_name(cap)

// Point at which the fault hook acts, and what it does there.
const char *g_point = nullptr;
enum class Act { kill, fail, sleep } g_act;
int g_sleep_ms = 0;

ostrel_error *hook(const char *point) {
  if (!g_point || std::strcmp(point, g_point) != 0) return nullptr;
  switch (g_act) {
    case Act::kill:
      raise(SIGKILL);
      break;
    case Act::fail:
      return ostrel_error_createf(OSTREL_ERR_IO, nullptr, "Injected failure at %s", point);
    case Act::sleep:
      usleep(static_cast<useconds_t>(g_sleep_ms) * 1000);
      break;
  }
  return nullptr;
}

struct Fault {
  Fault(const char *point, Act act, int sleep_ms = 0) {
    g_point = point;
    g_act = act;
    g_sleep_ms = sleep_ms;
    ostrel_fs__set_fault_hook(hook);
  }
  ~Fault() {
    ostrel_fs__set_fault_hook(nullptr);
    g_point = nullptr;
  }
};

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

ChangedPath edited_row(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                       const std::function<void(ChangedPath &)> &edit);

// One kind of damage: how to apply it.
using Apply = std::function<ostrel_error *(Damage &)>;

// Damage that verify must find in revision REV, saying SAYS, after every
// revision before it passed.
struct VerifyCase {
  const char *name;
  Apply damage;
  ostrel_revnum rev;
  const char *says;
};

class StorageSuite : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    pool_ = ostrel_pool_create(nullptr);
    ASSERT_NO_FATAL_FAILURE(fresh());
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    drop_idle_connections();
  }

  // Makes a new empty repository and opens filesystem_ on it; the handles
  // on the one before are closed.
  void fresh() {
    const Implementation &impl = GetParam();
    if (case_pool_) apr_pool_destroy(case_pool_);
    drop_idle_connections();
    case_pool_ = ostrel_pool_create(pool_);
    path_ = dir_.path() + "/repo" + std::to_string(++repos_made_);
    if (impl.kind == Kind::kMemory) {
      disk_ = std::make_shared<MemoryDisk>();
    } else if (impl.kind == Kind::kPostgres) {
      OSTREL_NEED_POSTGRES(cluster);
      static int n = 0;
      conninfo_ = cluster.createdb("s" + std::to_string(getpid()) + "_" + std::to_string(++n));
      ostrel_repos *repos;
      OK(ostrel_repos_create_postgres(&repos, path_.c_str(), conninfo_.c_str(), nullptr,
                                      case_pool_));
    } else {
      apr_pool_t *p = ostrel_pool_create(case_pool_);
      OK(impl.make_local(path_, p));
      apr_pool_destroy(p);
    }
    filesystem_ = reopen();
    ASSERT_NE(filesystem_, nullptr);
  }

  // A new handle on the repository, as another process would open it.
  ostrel_error *open(ostrel_fs **out, apr_hash_t *config, apr_pool_t *pool) {
    if (disk_)
      return open_with_stores(out, make_memory_meta(disk_, "2026-12-10T00:00:00.000000Z"),
                              make_memory_contents(disk_), pool);
    ostrel_repos *repos;
    OSTREL_ERR(ostrel_repos_open2(&repos, path_.c_str(), config, pool));
    *out = ostrel_repos_fs(repos);
    return nullptr;
  }

  ostrel_fs *reopen(apr_hash_t *config = nullptr) {
    ostrel_fs *filesystem = nullptr;
    EXPECT_EQ(take_error(open(&filesystem, config, case_pool_)), "");
    return filesystem;
  }

  std::unique_ptr<Damage> damage() {
    std::unique_ptr<Damage> out;
    if (disk_)
      out = make_memory_damage(disk_);
    else
      EXPECT_EQ(take_error(open_damage(path_, &out)), "");
    return out;
  }

  Counts counts() {
    Counts out;
    auto d = damage();
    if (d) {
      EXPECT_EQ(take_error(d->tally(&out)), "");
    }
    return out;
  }

  // Runs CHANGE on a transaction on the youngest revision of filesystem_
  // and commits it.
  ostrel_error *try_commit(const std::function<ostrel_error *(ostrel_fs_root *)> &change,
                           ostrel_revnum *new_rev = nullptr) {
    return fs_test::commit_change(filesystem_, change, new_rev);
  }

  ostrel_revnum youngest(ostrel_fs *filesystem) {
    ostrel_revnum y = -1;
    EXPECT_EQ(take_error(ostrel_fs_youngest_rev(&y, filesystem, case_pool_)), "");
    return y;
  }

  ostrel_fs_root *root_at(ostrel_fs *filesystem, ostrel_revnum rev) {
    ostrel_fs_root *root = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_revision_root(&root, filesystem, rev, case_pool_)), "");
    return root;
  }

  std::string cat_at(ostrel_fs *filesystem, ostrel_revnum rev, const char *path,
                     size_t piece = 4096) {
    ostrel_fs_root *root = root_at(filesystem, rev);
    return root ? cat(root, path, case_pool_, piece) : "ERROR: no root";
  }

  size_t changes_in(ostrel_fs *filesystem, ostrel_revnum rev) {
    apr_hash_t *h = nullptr;
    EXPECT_EQ(take_error(ostrel_fs_paths_changed2(&h, root_at(filesystem, rev), case_pool_)), "");
    return h ? apr_hash_count(h) : 0;
  }

  // Verifies every revision of FILESYSTEM: the error's code, its text in
  // *MSG, and in *VERIFIED the revisions that passed.
  apr_status_t verify_all(ostrel_fs *filesystem, std::string *msg,
                          std::vector<ostrel_revnum> *verified = nullptr) {
    std::vector<ostrel_revnum> passed;
    apr_status_t code = code_of(
        ostrel_fs_verify(
            filesystem, 0, youngest(filesystem),
            [](void *baton, ostrel_revnum rev, apr_pool_t *) {
              static_cast<std::vector<ostrel_revnum> *>(baton)->push_back(rev);
            },
            &passed, case_pool_),
        msg);
    if (verified) *verified = passed;
    return code;
  }

  // Runs BODY in a child process with its own handle; returns its pid.  The
  // child exits 0, 3 for BODY's error, 4 when it was OSTREL_ERR_FS_BUSY.
  pid_t spawn(const std::function<ostrel_error *(ostrel_fs *)> &body,
              apr_hash_t *config = nullptr) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    apr_pool_t *pool = ostrel_pool_create(nullptr);
    ostrel_fs *filesystem;
    ostrel_error *err = open(&filesystem, config, pool);
    if (!err) err = body(filesystem);
    int status = 0;
    if (err) {
      status = err->apr_err == OSTREL_ERR_FS_BUSY ? 4 : 3;
      std::fprintf(stderr, "child: %s", take_error(err).c_str());
    }
    _exit(status);
  }

  // Runs READ on a new handle in a child process that an alarm ends after
  // 30 s, so that a read that never ends fails the case instead of hanging
  // it.  Returns "CODE MESSAGE" for READ's error, "" for success, or how
  // the child died.
  std::string bounded_read(const std::function<ostrel_error *(ostrel_fs *, apr_pool_t *)> &read) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      alarm(30);
      apr_pool_t *pool = ostrel_pool_create(nullptr);
      ostrel_fs *filesystem;
      ostrel_error *err = open(&filesystem, nullptr, pool);
      if (!err) err = read(filesystem, pool);
      std::string text = err ? std::to_string(err->apr_err) + " " : "";
      text += take_error(err);
      for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fds[1], text.data() + done, text.size() - done);
        if (n <= 0) _exit(2);
        done += static_cast<size_t>(n);
      }
      _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = wait_for(pid);
    if (WIFSIGNALED(status))
      return WTERMSIG(status) == SIGALRM ? "hung"
                                         : "killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0) return "child failed";
    return out;
  }

  // Damage that rewrites row PATH of revision REV's changed paths by EDIT.
  std::function<ostrel_error *(Damage &)> change(ostrel_revnum rev, const char *path,
                                                 std::function<void(ChangedPath &)> edit) {
    return [=, this](Damage &d) {
      return d.replace_changed_path(rev, path, edited_row(filesystem_, rev, path, edit));
    };
  }

  // Applies C's damage to the repository and verifies it on a new handle.
  void expect_verify_stops(const VerifyCase &c) {
    {
      std::string msg;
      ASSERT_EQ(verify_all(filesystem_, &msg), 0) << msg;
    }
    OK(c.damage(*damage()));
    std::string msg;
    std::vector<ostrel_revnum> verified;
    EXPECT_EQ(verify_all(reopen(), &msg, &verified), OSTREL_ERR_FS_CORRUPT) << msg;
    std::vector<ostrel_revnum> before;
    for (ostrel_revnum r = 0; r < c.rev; ++r) before.push_back(r);
    EXPECT_EQ(verified, before);
    EXPECT_NE(msg.find("Revision " + std::to_string(c.rev)), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
  }

  // r1: make_trunk; r2: /trunk/a changed; r3: /trunk copied to /branch and
  // /branch/sub/b deleted.
  void make_history() {
    OK(try_commit(make_trunk));
    OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "two"); }));
    OK(try_commit([this](ostrel_fs_root *r) {
      OSTREL_ERR(ostrel_fs_copy(root_at(filesystem_, 1), "trunk", r, "branch", nullptr));
      return ostrel_fs_delete(r, "branch/sub/b", nullptr);
    }));
  }

  // Reads of make_history's revisions that meet damage: what REV changed,
  // the listing of /trunk in r1, the kind and the properties of /trunk/a in
  // r1.
  using Read = std::function<ostrel_error *(ostrel_fs *)>;
  Read changed_in(ostrel_revnum rev) {
    return [this, rev](ostrel_fs *filesystem) -> ostrel_error * {
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, rev, case_pool_));
      apr_hash_t *changed;
      return ostrel_fs_paths_changed2(&changed, root, case_pool_);
    };
  }
  Read list_trunk() {
    return [this](ostrel_fs *filesystem) -> ostrel_error * {
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, 1, case_pool_));
      apr_hash_t *entries;
      return ostrel_fs_dir_entries(&entries, root, "trunk", case_pool_);
    };
  }
  Read kind_of_a() {
    return [this](ostrel_fs *filesystem) -> ostrel_error * {
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, 1, case_pool_));
      ostrel_node_kind kind;
      return ostrel_fs_check_path(&kind, root, "trunk/a", case_pool_);
    };
  }
  Read props_of_a() {
    return [this](ostrel_fs *filesystem) -> ostrel_error * {
      ostrel_fs_root *root;
      OSTREL_ERR(ostrel_fs_revision_root(&root, filesystem, 1, case_pool_));
      apr_hash_t *props;
      return ostrel_fs_node_proplist(&props, root, "trunk/a", case_pool_);
    };
  }

  // Damage that READ, on a new handle, and verify refuse as damage, with a
  // message that holds each of SAYS.
  struct RefusedCase {
    const char *name;
    Apply damage;
    Read read;
    std::vector<const char *> says;
  };
  void expect_refused(const std::vector<RefusedCase> &cases) {
    for (const RefusedCase &c : cases) {
      SCOPED_TRACE(c.name);
      ASSERT_NO_FATAL_FAILURE(fresh());
      make_history();
      OK(c.damage(*damage()));
      std::string msg;
      EXPECT_EQ(code_of(c.read(reopen()), &msg), OSTREL_ERR_FS_CORRUPT) << msg;
      for (const char *text : c.says) EXPECT_NE(msg.find(text), std::string::npos) << msg;
      // verify finds it too.
      EXPECT_EQ(verify_all(reopen(), &msg), OSTREL_ERR_FS_CORRUPT) << msg;
    }
  }

  NodeRow node_at(ostrel_revnum rev, const char *path) {
    NodeRow row;
    EXPECT_EQ(take_error(locate_node(filesystem_, rev, path, &row)), "") << path;
    return row;
  }

  ostrel_test::TempDir dir_{"ostrel-suite"};
  int repos_made_ = 0;
  std::string path_;
  std::string conninfo_;
  std::shared_ptr<MemoryDisk> disk_;
  apr_pool_t *pool_ = nullptr;
  apr_pool_t *case_pool_ = nullptr;  // the handles on the newest repository
  ostrel_fs *filesystem_ = nullptr;
};

// ---------------------------------------------------------------------------
// Crashes and failures of a commit

TEST_P(StorageSuite, ProcessKilledAtEachPointLeavesTheLastRevision) {
  NEEDS(kProcesses);
  OK(try_commit(make_trunk));
  const std::string big(3 * 1024 * 1024, 'x');  // several chunks
  // A large upload, and enough small files that their records are written
  // in a batch before the commit step and in the step itself.
  const std::pair<const char *, std::function<ostrel_error *(ostrel_fs *)>> workloads[] = {
      {"large", [&](ostrel_fs *filesystem) {
         ostrel_revnum r;
         return commit_file(filesystem, "trunk/killed", big, &r);
       }},
      {"many small", [](ostrel_fs *filesystem) {
         ostrel_revnum r;
         return commit_files(filesystem, numbered("trunk/many/f", 300), "small ", &r,
                             "trunk/many");
       }},
  };
  for (auto &[name, work] : workloads) {
    for (const char *point : {"upload-chunk", "commit-locked", "commit-written"}) {
      SCOPED_TRACE(std::string(name) + " at " + point);
      int status = wait_for(spawn([&](ostrel_fs *filesystem) {
        Fault fault(point, Act::kill);
        return work(filesystem);
      }));
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      ostrel_fs *filesystem = reopen();
      EXPECT_EQ(youngest(filesystem), 1);
      OK(ostrel_fs_verify(filesystem, 0, 1, nullptr, nullptr, case_pool_));
    }
  }
  // What the killed transactions left is swept by the next commit, and the
  // bytes they appended are dropped by the next writer of their pack.
  EXPECT_GT(counts().transactions, 0);
  ostrel_fs *filesystem = reopen();
  ostrel_revnum rev;
  OK(commit_file(filesystem, "after", "written after the kills", &rev));
  EXPECT_EQ(rev, 2);
  EXPECT_EQ(cat_at(filesystem, 2, "after"), "written after the kills");
  Counts left = counts();
  EXPECT_EQ(left.transactions, 0);
  EXPECT_EQ(left.unfinished_contents, 0);
  EXPECT_EQ(left.stray_chunks, 0);
  EXPECT_EQ(left.unmarked_bytes, 0);
  OK(ostrel_fs_verify(filesystem, 0, 2, nullptr, nullptr, case_pool_));
}

// An injected failure at any point of a commit fails it naming the point,
// writes nothing (the file keeps its contents even inside the transaction),
// and the same handle commits afterwards.
TEST_P(StorageSuite, FailureAtEachPointWritesNothingAndTheHandleGoesOn) {
  OK(try_commit(make_trunk));
  const int64_t chunks = counts().chunks;
  for (const char *point : {"upload-chunk", "commit-locked", "commit-written"}) {
    SCOPED_TRACE(point);
    {
      Fault fault(point, Act::fail);
      std::string msg;
      EXPECT_EQ(code_of(try_commit([this](ostrel_fs_root *r) {
                          OSTREL_ERR(put(r, "trunk/a", std::string(2 * 1024 * 1024, 'z')));
                          for (const std::string &path : numbered("trunk/f", 100)) {
                            OSTREL_ERR(ostrel_fs_make_file(r, path.c_str(), nullptr));
                            OSTREL_ERR(put(r, path.c_str(), "x" + path));
                          }
                          return OSTREL_NO_ERROR;
                        }),
                        &msg),
                OSTREL_ERR_IO)
          << msg;
      EXPECT_NE(msg.find(std::string("Injected failure at ") + point), std::string::npos) << msg;
    }
    {
      Fault fault(point, Act::fail);
      std::string msg;
      EXPECT_NE(code_of(try_commit([this](ostrel_fs_root *r) {
                          ostrel_error *err = put(r, "trunk/a", std::string(2 * 1024 * 1024, 'y'));
                          // A failed upload leaves the file as it was.
                          if (err) {
                            EXPECT_EQ(cat(r, "trunk/a", case_pool_), "alpha");
                          }
                          return err;
                        }),
                        &msg),
                0);
    }
    EXPECT_EQ(youngest(filesystem_), 1);
    EXPECT_EQ(cat_at(filesystem_, 1, "trunk/a"), "alpha");
    Counts left = counts();
    EXPECT_EQ(left.unfinished_contents, 0);
    EXPECT_EQ(left.chunks, chunks);
  }
  ostrel_revnum rev;
  OK(commit_files(filesystem_, numbered("f", 100), "x", &rev));
  EXPECT_EQ(rev, 2);
  ostrel_fs *other = reopen();
  EXPECT_EQ(cat_at(other, 2, "f42"), "xf42");
  OK(ostrel_fs_verify(other, 0, 2, nullptr, nullptr, case_pool_));
}

// An I/O error whose outcome is unknown at the commit point (here: after
// the commit really happened) stops the handle: no further write goes
// through it, and the error says why.  A new handle sees the revision, with
// every byte of it.
TEST_P(StorageSuite, AfterAnUncertainCommitTheHandleTakesNoMoreWrites) {
  if (!disk_) {  // the in-memory disk has a switch for it
    NEEDS(kUncertainHook);
  }
  OK(try_commit(make_trunk));
  const std::string big(3 * 1024 * 1024 + 7, 'u');
  {
    std::unique_ptr<Fault> fault;
    if (disk_)
      disk_->uncertain_commit(true);
    else
      fault = std::make_unique<Fault>("commit-point", Act::fail);
    std::string msg;
    EXPECT_EQ(code_of(try_commit([&big](ostrel_fs_root *r) { return put(r, "trunk/a", big); }),
                      &msg),
              OSTREL_ERR_FS_UNCERTAIN);
    EXPECT_NE(msg.find("outcome of a commit is unknown"), std::string::npos) << msg;
  }
  std::string msg;
  EXPECT_EQ(code_of(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "more"); }), &msg),
            OSTREL_ERR_FS_UNCERTAIN);
  EXPECT_NE(msg.find("takes no more writes"), std::string::npos) << msg;
  filesystem_ = reopen();
  EXPECT_EQ(youngest(filesystem_), 2);
  EXPECT_EQ(cat_at(filesystem_, 2, "trunk/a"), big);
  OK(ostrel_fs_verify(filesystem_, 0, 2, nullptr, nullptr, case_pool_));
  ostrel_revnum rev;
  OK(try_commit([](ostrel_fs_root *r) { return put(r, "trunk/a", "after"); }, &rev));
  EXPECT_EQ(rev, 3);
}

// A commit that runs out of space (here: past the file-size limit the
// process is given) fails saying so, names the repository, shows no SQL,
// and takes back what it appended, so the next commit needs no more space.
TEST_P(StorageSuite, CommitOnAFullDiskSaysSoAndLeavesNoBytesBehind) {
  NEEDS(kLocalPacks);
  OK(try_commit(make_trunk));
  const std::string pack = path_ + "/packs/pack-1";
  const auto before = std::filesystem::file_size(pack);
  std::string big(2 * 1024 * 1024, 0);  // incompressible
  std::mt19937 random(7);
  for (char &c : big) c = static_cast<char>(random());
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = before + 300 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    apr_pool_t *pool = ostrel_pool_create(nullptr);
    ostrel_fs *filesystem;
    ostrel_error *err = open(&filesystem, nullptr, pool);
    ostrel_revnum rev;
    if (!err) err = commit_file(filesystem, "toobig", big, &rev);
    std::string msg = err ? take_error(err) : "no error";
    (void)!write(fds[1], msg.data(), msg.size());
    _exit(0);
  }
  close(fds[1]);
  std::string msg;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) msg.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  wait_for(pid);
  EXPECT_NE(msg.find("the disk is full"), std::string::npos) << msg;
  EXPECT_NE(msg.find(path_), std::string::npos) << msg;
  for (const char *sql : {"INSERT", "DELETE", "SELECT", "UPDATE"})
    EXPECT_EQ(msg.find(sql), std::string::npos) << msg;
  EXPECT_EQ(std::filesystem::file_size(pack), before);
  ostrel_revnum rev;
  OK(commit_file(filesystem_, "fits", "a small file", &rev));
  EXPECT_EQ(rev, 2);
  OK(ostrel_fs_verify(filesystem_, 0, rev, nullptr, nullptr, case_pool_));
}

// ---------------------------------------------------------------------------
// Concurrent committers

TEST_P(StorageSuite, ConcurrentCommittersMakeSequentialRevisions) {
  NEEDS(kProcesses);
  constexpr int kChildren = 4, kEach = 5;
  std::vector<pid_t> pids;
  for (int c = 0; c < kChildren; ++c)
    pids.push_back(spawn([c](ostrel_fs *filesystem) -> ostrel_error * {
      for (int i = 0; i < kEach; ++i) {
        ostrel_revnum r;
        OSTREL_ERR(commit_file(filesystem, "c" + std::to_string(c) + "-" + std::to_string(i),
                               "t", &r));
      }
      return nullptr;
    }));
  for (pid_t pid : pids) {
    int status = wait_for(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ostrel_fs *filesystem = reopen();
  ASSERT_EQ(youngest(filesystem), kChildren * kEach);
  // One file more in each revision, and one change: none lost, none twice.
  for (ostrel_revnum r = 1; r <= kChildren * kEach; ++r) {
    apr_hash_t *entries;
    OK(ostrel_fs_dir_entries(&entries, root_at(filesystem, r), "", case_pool_));
    EXPECT_EQ(apr_hash_count(entries), static_cast<unsigned>(r)) << r;
    EXPECT_EQ(changes_in(filesystem, r), 1u) << r;
  }
  OK(ostrel_fs_verify(filesystem, 0, kChildren * kEach, nullptr, nullptr, case_pool_));
}

// Reads keep one snapshot across calls; what another process commits
// meanwhile is still seen where it matters: the youngest revision, a root of
// the new revision, and the committed end of a store this process then
// appends to (which must not cut off the other's contents).
TEST_P(StorageSuite, AKeptReadSnapshotNeverHidesOrCutsOffAnotherProcessesCommit) {
  NEEDS(kProcesses);
  OK(try_commit(make_trunk));
  const std::string other = std::string(100000, 'o') + "ther";
  ostrel_revnum rev;
  OK(try_commit([&](ostrel_fs_root *root) {
    EXPECT_EQ(cat(root, "trunk/a", case_pool_), "alpha");  // leaves a snapshot of r1
    int status = wait_for(spawn([&](ostrel_fs *filesystem) {
      ostrel_revnum r;
      return commit_file(filesystem, "other", other, &r);
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    OSTREL_ERR(ostrel_fs_make_file(root, "mine", nullptr));
    return put(root, "mine", std::string(50000, 'm'));
  }, &rev));
  EXPECT_EQ(rev, 3);
  EXPECT_EQ(youngest(filesystem_), 3);
  EXPECT_EQ(cat_at(filesystem_, 2, "other"), other);
  EXPECT_EQ(cat_at(filesystem_, 3, "other"), other);
  EXPECT_EQ(cat_at(filesystem_, 3, "mine"), std::string(50000, 'm'));
  OK(ostrel_fs_verify(filesystem_, 0, 3, nullptr, nullptr, case_pool_));
}

TEST_P(StorageSuite, CommitterHeldBackLongerThanTheBusyTimeoutGetsAClearError) {
  NEEDS(kProcesses);
  // The child holds the commit lock in its commit step for 1.5 s.
  pid_t holder = spawn([](ostrel_fs *filesystem) {
    Fault fault("commit-written", Act::sleep, 1500);
    ostrel_revnum rev;
    return commit_file(filesystem, "held", "x", &rev);
  });
  usleep(400 * 1000);
  apr_hash_t *config = apr_hash_make(case_pool_);
  apr_hash_set(config, OSTREL_FS_CONFIG_BUSY_TIMEOUT, APR_HASH_KEY_STRING, "100");
  ostrel_fs *impatient = reopen(config);
  ASSERT_NE(impatient, nullptr);
  // Readers are not blocked meanwhile.
  EXPECT_EQ(youngest(impatient), 0);
  ostrel_revnum rev;
  std::string msg;
  EXPECT_EQ(code_of(commit_file(impatient, "mine", "y", &rev), &msg), OSTREL_ERR_FS_BUSY);
  EXPECT_NE(msg.find("100 ms"), std::string::npos) << msg;
  int status = wait_for(holder);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // A patient committer (the default timeout) gets through after the holder.
  OK(commit_file(filesystem_, "mine", "y", &rev));
  EXPECT_EQ(rev, 2);
}

TEST_P(StorageSuite, LongUploadDoesNotHoldBackOtherCommitters) {
  NEEDS(kProcesses);
  // The child uploads 4 chunks, pausing 300 ms before each.
  pid_t uploader = spawn([](ostrel_fs *filesystem) {
    Fault fault("upload-chunk", Act::sleep, 300);
    ostrel_revnum rev;
    return commit_file(filesystem, "slow", std::string(3 * 1024 * 1024 + 5, 'u'), &rev);
  });
  usleep(200 * 1000);
  apr_hash_t *config = apr_hash_make(case_pool_);
  apr_hash_set(config, OSTREL_FS_CONFIG_BUSY_TIMEOUT, APR_HASH_KEY_STRING, "200");
  ostrel_fs *quick = reopen(config);
  ASSERT_NE(quick, nullptr);
  ostrel_revnum rev;
  OK(commit_file(quick, "quick", "q", &rev));
  EXPECT_EQ(rev, 1);
  int status = wait_for(uploader);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(cat_at(filesystem_, 2, "quick"), "q");
  EXPECT_EQ(cat_at(filesystem_, 2, "slow").size(), 3u * 1024 * 1024 + 5);
}

// ---------------------------------------------------------------------------
// Damage, found by reads and by verify

// The changed-path row PATH of revision REV of FILESYSTEM as stored, with
// EDIT applied: what replace_changed_path then writes.
ChangedPath edited_row(ostrel_fs *filesystem, ostrel_revnum rev, const std::string &path,
                       const std::function<void(ChangedPath &)> &edit) {
  std::unique_ptr<Snapshot> snapshot;
  EXPECT_EQ(take_error(filesystem->meta->snapshot(&snapshot)), "");
  std::vector<ChangedPath> rows;
  if (snapshot) {
    EXPECT_EQ(take_error(snapshot->changed_paths(rev, rows)), "");
  }
  for (ChangedPath &row : rows)
    if (row.path == path) {
      edit(row);
      return row;
    }
  ADD_FAILURE() << "no changed path " << path << " in revision " << rev;
  return ChangedPath{};
}

// Stored values outside their enumeration are damage, reported with where
// they are, never handed on (a caller may index a table with them).
TEST_P(StorageSuite, OutOfRangeStoredValuesAreRefusedNamingWhereTheyAre) {
  NEEDS(kRowDamage);
  // r2: M /trunk/a; r3: A /branch (from /trunk:1)
  expect_refused({
      {"change kind too large", change(2, "/trunk/a", [](ChangedPath &c) { c.change = 200000; }),
       changed_in(2), {"'/trunk/a'", "revision 2", "change kind 200000"}},
      {"change kind negative", change(2, "/trunk/a", [](ChangedPath &c) { c.change = -1; }),
       changed_in(2), {"change kind -1"}},
      {"node kind too large", change(2, "/trunk/a", [](ChangedPath &c) { c.node_kind = 3; }),
       changed_in(2), {"node kind 3"}},
      {"node kind none", change(2, "/trunk/a", [](ChangedPath &c) { c.node_kind = 0; }),
       changed_in(2), {"node kind 0"}},
      {"text flag 2", change(2, "/trunk/a", [](ChangedPath &c) { c.text_mod = 2; }),
       changed_in(2), {"neither 0 nor 1"}},
      {"copy source on a modification", change(2, "/trunk/a", [](ChangedPath &c) {
         c.copy_path = "/trunk";
         c.copy_rev = 1;
       }),
       changed_in(2), {"no add or replace"}},
      {"path not canonical", change(2, "/trunk/a", [](ChangedPath &c) { c.path = "trunk//a"; }),
       changed_in(2), {"'trunk//a'", "not a valid repository path"}},
      {"half a copy source", change(3, "/branch", [](ChangedPath &c) { c.copy_rev.reset(); }),
       changed_in(3), {"'/branch'", "revision 3", "half a copy source"}},
      {"entry of kind 7", [](Damage &d) { return d.rewrite_entries("a", std::nullopt, 7); },
       list_trunk(), {"'a'", "kind 7"}},
      {"entry of a kind past 32 bits",
       [](Damage &d) { return d.rewrite_entries("a", std::nullopt, 4294967298); }, kind_of_a(),
       {"kind 4294967298"}},
      {"node of a kind past 32 bits",
       [this](Damage &d) {
         NodeRow row = node_at(1, "trunk/a");
         row.kind = 4294967297;
         return d.rewrite_node(row);
       },
       props_of_a(), {"kind 4294967297"}},
  });
}

// Where listings and changed paths are kept as encoded records, damage to
// the encoding (cut short, a byte too many, names out of order, a number
// longer than 64 bits) is refused naming what is damaged, never read as
// some other listing; verify finds it too.  Values out of range inside
// such records are the cases above.
TEST_P(StorageSuite, DamagedEncodingsOfListingsAndChangedPathsAreRefused) {
  NEEDS(kEncodedRecords);
  using Encoding = Damage::Encoding;
  auto listing = [](Encoding how) -> Apply {
    // The listing of /trunk as revision 1 made it: 'a' and 'sub'.
    return [how](Damage &d) { return d.damage_listing("a", how); };
  };
  auto changes = [](Encoding how) -> Apply {
    return [how](Damage &d) { return d.damage_changed_paths(2, how); };
  };
  expect_refused({
      {"listing cut short", listing(Encoding::kCutShort), list_trunk(),
       {"chunk of directory key", "cannot be read"}},
      {"listing with a byte too many", listing(Encoding::kTrailingByte), list_trunk(),
       {"chunk of directory key", "cannot be read"}},
      {"listing names out of order", listing(Encoding::kNamesOutOfOrder), list_trunk(),
       {"chunk of directory key"}},
      {"listing number past 64 bits", listing(Encoding::kOverlongNumber), kind_of_a(),
       {"chunk of directory key"}},
      {"changed paths cut short", changes(Encoding::kCutShort), changed_in(2),
       {"changed paths of revision 2", "cannot be read"}},
      {"changed paths with a byte too many", changes(Encoding::kTrailingByte), changed_in(2),
       {"changed paths of revision 2", "cannot be read"}},
  });
}

// Where node records are kept in encoded blocks, a damaged record (cut
// short, a byte too many) is refused naming the node and its block, never
// read as some other node; verify finds it too.
TEST_P(StorageSuite, DamagedNodeRecordsInBlocksAreRefused) {
  NEEDS(kNodeBlocks);
  using Encoding = Damage::Encoding;
  auto record_of_a = [this](Encoding how) -> Apply {
    return [this, how](Damage &d) { return d.damage_node_block(node_at(1, "trunk/a").id, how); };
  };
  expect_refused({
      {"node record cut short", record_of_a(Encoding::kCutShort), props_of_a(),
       {"node ", "cannot be read from the block of nodes"}},
      {"node record with a byte too many", record_of_a(Encoding::kTrailingByte), props_of_a(),
       {"node ", "cannot be read from the block of nodes"}},
  });
}

// Links that should lead to older records but loop (a directory version
// its own parent, a node its own predecessor, a directory inside itself)
// are damage, reported where they are met, instead of walks or recursions
// without end.
TEST_P(StorageSuite, LoopingLinksAreDamageNotEndlessWalks) {
  NEEDS(kRowDamage);
  const std::string corrupt = std::to_string(OSTREL_ERR_FS_CORRUPT) + " ";
  auto youngest_root = [](ostrel_fs *filesystem, apr_pool_t *pool, ostrel_fs_root **root) {
    ostrel_revnum y;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem, pool));
    return ostrel_fs_revision_root(root, filesystem, y, pool);
  };
  auto check_absent = [&](ostrel_fs *filesystem, apr_pool_t *pool) -> ostrel_error * {
    ostrel_fs_root *root;
    OSTREL_ERR(youngest_root(filesystem, pool, &root));
    ostrel_node_kind kind;
    return ostrel_fs_check_path(&kind, root, "/nothere", pool);
  };
  auto list_trunk = [&](ostrel_fs *filesystem, apr_pool_t *pool) -> ostrel_error * {
    ostrel_fs_root *root;
    OSTREL_ERR(youngest_root(filesystem, pool, &root));
    apr_hash_t *entries;
    return ostrel_fs_dir_entries(&entries, root, "/trunk", pool);
  };
  auto origin_of_root = [&](ostrel_fs *filesystem, apr_pool_t *pool) -> ostrel_error * {
    ostrel_fs_root *root;
    OSTREL_ERR(youngest_root(filesystem, pool, &root));
    ostrel_revnum rev;
    return ostrel_fs_node_origin_rev(&rev, root, "/", pool);
  };
  auto verify = [](ostrel_fs *filesystem, apr_pool_t *pool) -> ostrel_error * {
    ostrel_revnum y;
    OSTREL_ERR(ostrel_fs_youngest_rev(&y, filesystem, pool));
    return ostrel_fs_verify(filesystem, 0, y, nullptr, nullptr, pool);
  };
  const Apply self_parent_keys = [](Damage &d) { return d.loop_directory_versions(); };
  const Apply self_pred_root = [this](Damage &d) -> ostrel_error * {
    NodeRow root = node_at(3, "");
    root.pred = root.id;
    OSTREL_ERR(d.rewrite_node(root));
    return d.forget_origins();
  };
  const Apply oldest_points_to_newest = [this](Damage &d) -> ostrel_error * {
    NodeRow first = node_at(0, "");
    first.pred = node_at(3, "").id;
    OSTREL_ERR(d.rewrite_node(first));
    return d.forget_origins();
  };
  const Apply directory_inside_itself = [this](Damage &d) {
    return d.rewrite_entries("sub", node_at(1, "").id, ostrel_node_dir);
  };
  struct Case {
    const char *name;
    unsigned needs;
    Apply damage;
    std::function<ostrel_error *(ostrel_fs *, apr_pool_t *)> read;
    std::vector<const char *> says;
  };
  const Case cases[] = {
      {"lookup of an absent name", kChainedDirs, self_parent_keys, check_absent,
       {"directory key", "'/nothere' in revision 3"}},
      {"listing", kChainedDirs, self_parent_keys, list_trunk,
       {"directory key", "'/trunk' in revision 3"}},
      {"verify", kChainedDirs, self_parent_keys, verify, {"directory key", "Revision 1"}},
      {"origin of a node its own predecessor", 0, self_pred_root, origin_of_root,
       {"predecessor", "'/'"}},
      {"origin through a history that loops", 0, oldest_points_to_newest, origin_of_root,
       {"predecessor"}},
      {"verify of a directory inside itself", 0, directory_inside_itself, verify,
       {"Revision 1", "'/trunk/sub'", "contains itself"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if ((GetParam().caps & c.needs) != c.needs) {  // it damages what this one has not
      std::printf("[     SKIP ] %s: %s lacks %s\n", c.name, GetParam().name,
                  capability_name(c.needs));
      continue;
    }
    ASSERT_NO_FATAL_FAILURE(fresh());
    make_history();
    OK(c.damage(*damage()));
    std::string msg = bounded_read(c.read);
    EXPECT_EQ(msg.rfind(corrupt, 0), 0u) << msg;
    for (const char *text : c.says) EXPECT_NE(msg.find(text), std::string::npos) << msg;
  }
}

// Damaged revision records and changed-path rows that hold valid values but
// disagree with the trees: verify stops at the revision that holds them,
// naming it and the path, after every revision before it passed.
TEST_P(StorageSuite, VerifyStopsAtTheRevisionWhoseRecordsDisagreeWithTheTrees) {
  NEEDS(kRowDamage);
  auto added = [](ostrel_revnum rev, const char *path) -> Apply {
    return [=](Damage &d) {
      ChangedPath row;
      row.path = path;
      row.change = ostrel_fs_path_change_add;
      row.node_kind = ostrel_node_file;
      return d.add_changed_path(rev, row);
    };
  };
  const VerifyCase cases[] = {
      // r3: A /branch (from /trunk:1), D /branch/sub/b
      {"added path of the wrong kind",
       change(3, "/branch", [](ChangedPath &c) { c.node_kind = ostrel_node_file; }), 3, "/branch"},
      {"copy source that does not exist",
       change(3, "/branch", [](ChangedPath &c) { c.copy_path = "/gone"; }), 3, "/gone"},
      {"copy source from before it existed",
       change(3, "/branch", [](ChangedPath &c) { c.copy_rev = 0; }), 3, "/trunk"},
      {"deleted path that is still there",
       change(3, "/branch/sub/b", [](ChangedPath &c) { c.path = "/trunk/sub/b"; }), 3,
       "/trunk/sub/b"},
      {"deleted path that never was",
       change(3, "/branch/sub/b", [](ChangedPath &c) { c.path = "/branch/sub/zz"; }), 3,
       "/branch/sub/zz"},
      {"deleted path of the wrong kind",
       change(3, "/branch/sub/b", [](ChangedPath &c) { c.node_kind = ostrel_node_dir; }), 3,
       "/branch/sub/b"},
      {"added path said to be modified",
       change(3, "/branch", [](ChangedPath &c) { c.change = ostrel_fs_path_change_replace; }), 3,
       "/branch"},
      // r2: M /trunk/a
      {"modified path that does not exist",
       change(2, "/trunk/a", [](ChangedPath &c) { c.path = "/nowhere"; }), 2, "/nowhere"},
      {"modified path said to be added",
       change(2, "/trunk/a", [](ChangedPath &c) { c.change = ostrel_fs_path_change_add; }), 2,
       "/trunk/a"},
      {"added path that does not exist", added(2, "/trunk/new"), 2, "/trunk/new"},
      {"a change in revision 0", added(0, "/x"), 0, "/x"},
      // The revision records themselves.
      {"revision whose root is missing",
       [](Damage &d) { return d.set_revision_root(2, 999999); }, 2, "999999"},
      {"revision whose root is a file",
       [this](Damage &d) { return d.set_revision_root(2, node_at(2, "trunk/a").id); }, 2,
       "Revision 2"},
  };
  for (const VerifyCase &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(fresh());
    make_history();
    expect_verify_stops(c);
  }
}

// History links and stored checksums that hold plausible values but are
// wrong: verify stops at the first revision that reads them.
TEST_P(StorageSuite, VerifyChecksHistoryLinksOriginsAndContentHashes) {
  auto file_of_r2 = [this]() { return node_at(2, "trunk/a"); };
  auto node_edit = [this, file_of_r2](std::function<void(NodeRow &, NodeRow)> edit) -> Apply {
    return [=, this](Damage &d) {
      NodeRow row = file_of_r2();
      edit(row, node_at(3, ""));
      return d.rewrite_node(row);
    };
  };
  const VerifyCase cases[] = {
      {"origins of r1 said to be r2", [](Damage &d) { return d.move_origins(1, 2); }, 1,
       "node-origin index says"},
      {"origins of r0 said to be r1", [](Damage &d) { return d.move_origins(0, 1); }, 0,
       "node-origin index says"},
      {"youngest root its own predecessor",
       [this](Damage &d) {
         NodeRow root = node_at(3, "");
         root.pred = root.id;
         return d.rewrite_node(root);
       },
       3, "does not lead to an older node"},
      {"oldest root after the youngest",
       [this](Damage &d) {
         NodeRow first = node_at(0, "");
         first.pred = node_at(3, "").id;
         return d.rewrite_node(first);
       },
       0, "does not lead to an older node"},
      // A link to an older record that was made in the same revision.
      {"made a revision early", node_edit([](NodeRow &n, NodeRow) { n.created_rev = 1; }), 2,
       "not before it"},
      {"predecessor of another line", node_edit([](NodeRow &n, NodeRow) { n.pred = 1; }), 2,
       "another line"},
      {"no predecessor", node_edit([](NodeRow &n, NodeRow) { n.pred = 0; }), 2,
       "begin its line"},
      {"a wrong checksum",
       [this, file_of_r2](Damage &d) {
         return d.set_content_sha(file_of_r2().content, std::string(64, '0'));
       },
       2, "do not match their SHA-256"},
  };
  for (const VerifyCase &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(fresh());
    make_history();
    // Fill the node-origin index for the lines revisions 0 and 1 began.
    ostrel_revnum rev = -2;
    OK(ostrel_fs_node_origin_rev(&rev, root_at(filesystem_, 3), "trunk/a", case_pool_));
    EXPECT_EQ(rev, 1);
    OK(ostrel_fs_node_origin_rev(&rev, root_at(filesystem_, 3), "/", case_pool_));
    EXPECT_EQ(rev, 0);
    apr_int64_t lines, indexed;  // writes the answers kept in memory
    OK(ostrel_fs_node_origins_stats(&lines, &indexed, filesystem_, case_pool_));
    expect_verify_stops(c);
  }
}

// Every read checks what it returns: damaged stored bytes are an error that
// names the path and the revision, no damaged byte is handed out, and
// verify names the first revision that holds them.
TEST_P(StorageSuite, DamagedContentsAreAnErrorNamingPathAndRevisionNeverWrongBytes) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i) + " of a compressible text\n";
  // Bytes that do not compress, so that they are stored as they are, and
  // read both in small pieces and in pieces larger than a chunk (which take
  // the stored bytes straight into the reader's buffer).
  std::string big(3 * 1024 * 1024 + 17, 0);
  uint64_t x = 88172645463325252u;
  for (char &b : big) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    b = static_cast<char>(x >> 32);
  }
  const size_t pieces[] = {4096, 1024 * 1024 + 3, kLentPieces};
  // Local packs hold every revision's contents in one pack: removing it
  // damages revision 1 first.
  const bool one_pack = GetParam().caps & kLocalPacks;
  struct Case {
    const char *name;
    ostrel_revnum rev;
    const char *path;
    bool last_chunk;  // else the first
    std::function<ostrel_error *(Damage &, int64_t content, int64_t seq, int64_t size)> damage;
    ostrel_revnum verify_rev;  // the first revision verify finds damaged
    const char *verify_path;
  };
  const Case cases[] = {
      {"a flipped byte in a small chunk", 1, "trunk/a", false,
       [](Damage &d, int64_t c, int64_t s, int64_t) { return d.flip_stored_byte(c, s, 1); }, 1,
       "/trunk/a"},
      {"a flipped byte in a compressed chunk", 2, "trunk/text", false,
       [](Damage &d, int64_t c, int64_t s, int64_t n) { return d.flip_stored_byte(c, s, n / 2); },
       2, "/trunk/text"},
      {"a flipped byte in the last chunk of large contents", 3, "big", true,
       [](Damage &d, int64_t c, int64_t s, int64_t n) { return d.flip_stored_byte(c, s, n - 1); },
       3, "/big"},
      {"contents cut short", 3, "big", true,
       [](Damage &d, int64_t c, int64_t s, int64_t n) { return d.cut_stored(c, s, n / 2); }, 3,
       "/big"},
      // (a chunk large enough to be lent where it lies: the reader must see
      // the cut before it touches a byte past it)
      {"contents cut short inside a large chunk", 3, "big", false,
       [](Damage &d, int64_t c, int64_t s, int64_t n) { return d.cut_stored(c, s, n / 2); }, 3,
       "/big"},
      {"a chunk that decodes to another length", 3, "big", false,
       [](Damage &d, int64_t c, int64_t s, int64_t) {
         return d.set_chunk_length(c, s, 1024 * 1024 - 1);
       },
       3, "/big"},
      {"contents missing", 3, "big", false,
       [](Damage &d, int64_t c, int64_t s, int64_t) { return d.remove_stored(c, s); },
       one_pack ? 1 : 3, one_pack ? "/trunk/a" : "/big"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(fresh());
    OK(try_commit(make_trunk));                                                      // r1
    OK(try_commit([&](ostrel_fs_root *r) {                                            // r2
      OSTREL_ERR(ostrel_fs_make_file(r, "trunk/text", nullptr));
      return put(r, "trunk/text", text);
    }));
    OK(try_commit([&](ostrel_fs_root *r) {                                            // r3
      OSTREL_ERR(ostrel_fs_make_file(r, "big", nullptr));
      return put(r, "big", big);
    }));
    // Whole before the damage.
    EXPECT_EQ(cat_at(filesystem_, 3, "trunk/text"), text);
    if (&c == &cases[0]) {
      for (size_t piece : pieces) EXPECT_EQ(cat_at(filesystem_, 3, "big", piece), big) << piece;
    }
    int64_t content, chunks, size;
    OK(locate_contents(filesystem_, c.rev, c.path, &content, &chunks));
    ASSERT_GT(chunks, 0);
    const int64_t seq = c.last_chunk ? chunks - 1 : 0;
    auto d = damage();
    OK(d->stored_size(content, seq, &size));
    OK(c.damage(*d, content, seq, size));
    ostrel_fs *filesystem = reopen();
    const std::string where = "'/" + std::string(c.path) + "' in revision " + std::to_string(c.rev);
    for (size_t piece : pieces) {
      std::string got = cat_at(filesystem, c.rev, c.path, piece);
      EXPECT_EQ(got.rfind("ERROR: ", 0), 0u) << piece << ": " << got.substr(0, 200);
      EXPECT_NE(got.find("damaged"), std::string::npos) << piece << ": " << got.substr(0, 200);
      EXPECT_NE(got.find(where), std::string::npos) << piece << ": " << got.substr(0, 200);
      // A reader that goes on after the error meets it again, never the
      // bytes after the damage.
      ostrel_stream *s;
      OK(ostrel_fs_file_contents(&s, root_at(filesystem, c.rev), c.path, case_pool_));
      std::vector<char> buf;
      std::string got_piece;
      ostrel_error *first = nullptr;
      for (bool more = true; more && !first;)
        first = next_piece(s, buf, piece, got_piece, &more);
      ASSERT_NE(first, nullptr) << piece;
      ostrel_error_clear(first);
      bool more = false;
      EXPECT_NE(take_error(next_piece(s, buf, piece, got_piece, &more)), "") << piece;
    }
    std::string msg;
    std::vector<ostrel_revnum> verified;
    EXPECT_EQ(verify_all(reopen(), &msg, &verified), OSTREL_ERR_FS_CORRUPT) << msg;
    EXPECT_EQ(verified.size(), static_cast<size_t>(c.verify_rev)) << msg;
    EXPECT_NE(msg.find("Revision " + std::to_string(c.verify_rev)), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.verify_path), std::string::npos) << msg;
  }
}

INSTANTIATE_TEST_SUITE_P(Implementations, StorageSuite, ::testing::ValuesIn(kImplementations),
                         name_of);

}  // namespace
