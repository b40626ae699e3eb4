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

namespace frame = ostrel_wire::frame;
using ostrel_wire::Num;
using ostrel_wire::Opt;
using ostrel_wire::Str;

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

// Appends frame F to OUT.
template <typename F>
void add(std::string &out, F f) {
  ostrel_wire::put(out, f);
}

frame::AddDir add_dir(Num parent, Str path, Num id, Opt copy_path = std::nullopt,
                      Num copy_rev = -1) {
  frame::AddDir f;
  f.parent = parent;
  f.path = path;
  f.copy_path = copy_path;
  f.copy_rev = copy_rev;
  f.id = id;
  return f;
}

// A drive: mkdir A, put A/f (two windows), and optionally a copy and a
// change under /secret.
std::string drive(bool with_finish, const char *extra_dir = nullptr,
                  const char *copy_from = nullptr) {
  std::string out;
  add(out, frame::Version{});
  add(out, frame::Revprop{"ostrel:log", "msg"});
  add(out, frame::OpenRoot{1, -1});
  add(out, add_dir(1, "A", 2));
  frame::AddFile file;
  file.parent = 2;
  file.path = "A/f";
  file.id = 3;
  add(out, file);
  add(out, frame::ApplyText{3, std::nullopt});
  add(out, frame::Window{3, 0, "hello "});
  add(out, frame::Window{3, 6, "world"});
  add(out, frame::TextEnd{3});
  add(out, frame::CloseFile{3, std::nullopt});
  add(out, frame::CloseDir{2});
  if (extra_dir) {
    add(out,
        add_dir(1, extra_dir, 4, copy_from ? Opt(copy_from) : std::nullopt, copy_from ? 0 : -1));
    add(out, frame::CloseDir{4});
  }
  add(out, frame::CloseDir{1});
  if (with_finish) add(out, frame::Finish{});
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
  add(out, frame::Version{});
  add(out, frame::OpenRoot{1, 0});
  add(out, add_dir(1, "A", 2));
  add(out, frame::CloseDir{2});
  add(out, frame::CloseDir{1});
  add(out, frame::Finish{});
  std::string answer = run(out);
  EXPECT_TRUE(failed_);
  EXPECT_TRUE(has(answer, "Commit to 'http://shown/repo' failed")) << answer;
  EXPECT_FALSE(has(answer, url_)) << answer;
  EXPECT_EQ(youngest(), 1);
}

}  // namespace
}  // namespace ostreld
