// The replay of a commit's frames into a real repository: what is committed,
// what is abandoned, and that every changed path and copy source is put to
// the authorisation hook before the repository sees it.
#include "replay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel_fs.h"
#include "ostrel_path.h"
#include "ostrel_pools.h"
#include "ostrel_repos.h"
#include "ostrel_test_support.h"

namespace ostreld {
namespace {

namespace tag = ostrel_wire::tag;

// Every authorisation asked, as "w /path" or "r /path"; paths under
// "/secret" are refused.
std::vector<std::string> asked;
std::string record_and_refuse_secret(const Identity &, const std::string &repos,
                                     const std::string &path, Access access) {
  EXPECT_EQ(repos, "repo");
  bool write = access == Access::write || access == Access::write_tree;
  asked.push_back(std::string(write ? "w " : "r ") + path);
  return path.rfind("/secret", 0) == 0 ? "Access to '" + path + "' is not allowed" : "";
}

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    asked.clear();
    pool_ = ostrel_pool_create(nullptr);
    dir_ = dir.path() + "/repo";
    ostrel_repos *repos = nullptr;
    ASSERT_EQ(ostrel_repos_create(&repos, dir_.c_str(), nullptr, pool_), nullptr);
    const char *url = nullptr;
    ASSERT_EQ(ostrel_uri_get_file_url_from_dirent(&url, dir_.c_str(), pool_), nullptr);
    url_ = url;
  }
  void TearDown() override { apr_pool_destroy(pool_); }

  long youngest() {
    ostrel_repos *repos = nullptr;
    EXPECT_EQ(ostrel_repos_open2(&repos, dir_.c_str(), nullptr, pool_), nullptr);
    ostrel_revnum rev = -1;
    EXPECT_EQ(ostrel_fs_youngest_rev(&rev, ostrel_repos_fs(repos), pool_), nullptr);
    return rev;
  }

  // Replays BODY fed in pieces of CHUNK bytes, then ends the body.
  std::string run(const std::string &body, std::size_t chunk = 4096) {
    Replay replay(url_, url_, "repo", "", Identity{false, "tester"},
                  ostrel_wire::kDefaultMaxFrame, record_and_refuse_secret);
    for (std::size_t at = 0; at < body.size(); at += chunk)
      replay.feed(body.data() + at, std::min(chunk, body.size() - at));
    replay.end_of_body();
    failed_ = replay.failed();
    return replay.answer(url_, "http://shown/repo");
  }

  ostrel_test::TempDir dir;
  apr_pool_t *pool_ = nullptr;
  std::string dir_, url_;
  bool failed_ = false;
};

// A drive: mkdir A, put A/f (two windows), and optionally a copy and a
// change under /secret.
std::string drive(bool with_finish, const char *extra_dir = nullptr,
                  const char *copy_from = nullptr) {
  std::string out;
  ostrel_wire::Encoder e(out);
  e.begin(tag::kVersion);
  e.num(1);
  e.end();
  e.begin(tag::kRevprop);
  e.str("ostrel:log");
  e.str("msg");
  e.end();
  e.begin(tag::kOpenRoot);
  e.num(1);
  e.num(-1);
  e.end();
  e.begin(tag::kAddDir);
  e.num(1);
  e.str("A");
  e.opt(nullptr);
  e.num(-1);
  e.num(2);
  e.end();
  e.begin(tag::kAddFile);
  e.num(2);
  e.str("A/f");
  e.opt(nullptr);
  e.num(-1);
  e.num(3);
  e.end();
  e.begin(tag::kApplyText);
  e.num(3);
  e.opt(nullptr);
  e.end();
  e.begin(tag::kWindow);
  e.num(3);
  e.num(0);
  e.str("hello ");
  e.end();
  e.begin(tag::kWindow);
  e.num(3);
  e.num(6);
  e.str("world");
  e.end();
  e.begin(tag::kTextEnd);
  e.num(3);
  e.end();
  e.begin(tag::kCloseFile);
  e.num(3);
  e.opt(nullptr);
  e.end();
  e.begin(tag::kCloseDir);
  e.num(2);
  e.end();
  if (extra_dir) {
    e.begin(tag::kAddDir);
    e.num(1);
    e.str(extra_dir);
    e.opt(copy_from);
    e.num(copy_from ? 0 : -1);
    e.num(4);
    e.end();
    e.begin(tag::kCloseDir);
    e.num(4);
    e.end();
  }
  e.begin(tag::kCloseDir);
  e.num(1);
  e.end();
  if (with_finish) {
    e.begin(tag::kFinish);
    e.end();
  }
  return out;
}

bool has(const std::string &answer, const std::string &text) {
  return answer.find(text) != std::string::npos;
}

TEST_F(ReplayTest, AWholeDriveCommitsWhateverTheChunking) {
  std::string answer = run(drive(true), 1);
  EXPECT_FALSE(failed_) << answer;
  EXPECT_EQ(youngest(), 1);
  EXPECT_TRUE(has(answer, "tester"));
  // Changed paths are asked for write access, each once per call naming it.
  EXPECT_EQ(asked, (std::vector<std::string>{"w /A", "w /A/f", "w /A/f"}));
}

TEST_F(ReplayTest, NothingIsCommittedUnlessTheWholeDriveArrived) {
  struct Case {
    const char *name;
    std::string body;
    const char *message;
  } cases[] = {
      {"no finish frame", drive(false), "the body ended before the commit was complete"},
      {"cut inside a frame", drive(true).substr(0, 60),
       "the body ended before the commit was complete"},
      {"a frame after the finish frame", drive(true) + std::string("F\0\0\0\0", 5),
       "frames after finish_edit"},
      {"a write below a refused path", drive(true, "secret"), "Access to '/secret' is not allowed"},
      {"a copy from a refused source", drive(true, "B", "/secret/x"),
       "Access to '/secret/x' is not allowed"},
  };
  for (const Case &c : cases) {
    asked.clear();
    std::string answer = run(c.body);
    EXPECT_TRUE(failed_) << c.name;
    EXPECT_TRUE(has(answer, c.message)) << c.name << ": " << answer;
    EXPECT_EQ(youngest(), 0) << c.name;
  }
  // The copy source was refused before the repository was asked about it.
  EXPECT_EQ(asked.back(), "r /secret/x");
}

TEST_F(ReplayTest, RefusalsShowTheClientsUrl) {
  run(drive(true));
  ASSERT_EQ(youngest(), 1);
  // Based on r0, adding A again conflicts only when the commit is made; that
  // refusal names the commit's URL.
  std::string out;
  ostrel_wire::Encoder e(out);
  e.begin(tag::kVersion);
  e.num(1);
  e.end();
  e.begin(tag::kOpenRoot);
  e.num(1);
  e.num(0);
  e.end();
  e.begin(tag::kAddDir);
  e.num(1);
  e.str("A");
  e.opt(nullptr);
  e.num(-1);
  e.num(2);
  e.end();
  e.begin(tag::kCloseDir);
  e.num(2);
  e.end();
  e.begin(tag::kCloseDir);
  e.num(1);
  e.end();
  e.begin(tag::kFinish);
  e.end();
  std::string answer = run(out);
  EXPECT_TRUE(failed_);
  EXPECT_TRUE(has(answer, "Commit to 'http://shown/repo' failed")) << answer;
  EXPECT_FALSE(has(answer, url_)) << answer;
  EXPECT_EQ(youngest(), 1);
}

}  // namespace
}  // namespace ostreld
