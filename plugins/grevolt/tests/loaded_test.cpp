// The built plug-in, loaded with dlopen as a host loads it, against the
// stand-in game running as a child of this test (so the test may read its
// memory whatever the system's ptrace restriction).
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

#include "child_game.h"
#include "grevolt.h"

namespace {

using grevolt_test::ChildGame;

class LoadedPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    library = dlopen(GREVOLT_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto get = reinterpret_cast<GetPluginFunction>(dlsym(library, "getBrellanPlugin"));
    auto get2 = reinterpret_cast<GetPlugin2Function>(dlsym(library, "getBrellanPlugin2"));
    ASSERT_NE(get, nullptr);
    ASSERT_NE(get2, nullptr);
    plugin = get();
    plugin2 = get2();
  }
  void TearDown() override {
    if (plugin != nullptr) plugin->unlock();
    if (library != nullptr) dlclose(library);
  }

  std::unique_ptr<ChildGame> startGame(std::vector<std::string> args = {"--still"},
                                       const std::string &program = GREVOLT_GAME_FILE) {
    args.push_back("--exit-after");
    args.push_back("60");  // never outlives a crashed test for long
    return std::make_unique<ChildGame>(program, args);
  }

  int fetch() {
    for (auto &v : out) v[0] = v[1] = v[2] = 99.0f;
    return plugin->fetch(out[0], out[1], out[2], out[3], out[4], out[5], context, identity);
  }
  void expectPose(const grevolt_test::Pose &pose) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(out[0][i], pose.position[i]);
      EXPECT_EQ(out[1][i], pose.front[i]);
      EXPECT_EQ(out[2][i], pose.top[i]);
      EXPECT_EQ(out[3][i], pose.position[i]);
      EXPECT_EQ(out[4][i], pose.front[i]);
      EXPECT_EQ(out[5][i], pose.top[i]);
    }
  }
  void expectAllZero() {
    for (auto &v : out) {
      for (float f : v) EXPECT_EQ(f, 0.0f);
    }
  }

  void *library = nullptr;
  PluginDescriptor *plugin = nullptr;
  PluginDescriptor2 *plugin2 = nullptr;
  float out[6][3];
  std::string context = "untouched";
  std::wstring identity = L"untouched";
};

// A directory for links and copies with chosen names, removed at the end.
class LinkDir {
 public:
  LinkDir() {
    char pattern[] = "/tmp/grevolt-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~LinkDir() { std::filesystem::remove_all(path_); }
  const std::string &path() const { return path_; }
  std::string link(const std::string &target, const std::string &name) {
    std::string path = path_ + "/" + name;
    std::filesystem::create_symlink(target, path);
    return path;
  }
  std::string copy(const std::string &source, const std::string &name) {
    std::string path = path_ + "/" + name;
    std::filesystem::copy_file(source, path);
    return path;
  }

 private:
  std::string path_;
};

TEST_F(LoadedPlugin, RecordsAndNames) {
  EXPECT_EQ(plugin, reinterpret_cast<GetPluginFunction>(dlsym(library, "getBrellanPlugin"))());
  EXPECT_EQ(plugin->magic, 0xD63AB7F0u);
  EXPECT_EQ(plugin->description, L"Battlefield 1942 v1.61b");
  EXPECT_EQ(plugin->shortName, L"Battlefield 1942");
  EXPECT_EQ(plugin->optionalEntry1, nullptr);
  EXPECT_EQ(plugin->optionalEntry2, nullptr);
  EXPECT_NE(plugin->tryLock, nullptr);
  EXPECT_NE(plugin->unlock, nullptr);
  EXPECT_NE(plugin->fetch, nullptr);

  EXPECT_EQ(plugin2, reinterpret_cast<GetPlugin2Function>(dlsym(library, "getBrellanPlugin2"))());
  EXPECT_EQ(plugin2->magic, 0xD63AB7FFu);
  EXPECT_EQ(plugin2->version, 2u);
  EXPECT_NE(plugin2->tryLockWithProcesses, nullptr);
}

TEST_F(LoadedPlugin, LongDescriptionsAreIndependentStrings) {
  const std::wstring text = L"Supports Battlefield 1942 v1.61b. No identity or context support yet.";
  ASSERT_EQ(text.size(), 69u);
  auto first = std::make_unique<std::wstring>(plugin->longDescription());
  std::wstring second = plugin->longDescription();
  EXPECT_EQ(*first, text);
  EXPECT_NE(first->data(), second.data());
  first.reset();  // freeing one leaves the other intact
  EXPECT_EQ(second, text);
}

TEST_F(LoadedPlugin, TryLockAttachesAndFetchReadsWhatTheGameWrote) {
  auto game = startGame({"--still", "--origin", "-12345.5,0.001,1e30"});
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(game->pose());
  EXPECT_EQ(context, "untouched");
  EXPECT_EQ(identity, L"untouched");

  plugin->unlock();
  EXPECT_EQ(fetch(), 0);
  expectAllZero();
  EXPECT_EQ(context, "untouched");
  EXPECT_EQ(identity, L"untouched");
}

TEST_F(LoadedPlugin, FetchBeforeAnyTryLockFails) {
  auto game = startGame();
  EXPECT_EQ(fetch(), 0);
  expectAllZero();
}

TEST_F(LoadedPlugin, MovingGameGivesChangingPositions) {
  auto game = startGame({});
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  const float first = out[0][0];
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(fetch(), 1);
  EXPECT_NE(out[0][0], first);
}

TEST_F(LoadedPlugin, ProcessMapLookup) {
  auto game = startGame();
  const unsigned long long pid = static_cast<unsigned long long>(game->pid());
  struct Case {
    const char *what;
    ProcessMap map;
    int result;
  };
  const Case cases[] = {
      {"empty map enumerates", {}, 1},
      {"entry for the game", {{L"bash", 1}, {L"GREVOLT.exe", pid}}, 1},
      {"map without the game", {{L"bash", 1}, {L"init", 2}}, 0},
      {"key differs in case", {{L"grevolt.exe", pid}, {L"GREVOLT.EXE", pid}}, 0},
      {"entry for a process that is not the game", {{L"GREVOLT.exe", 1}}, 0},
      {"entry for no process", {{L"GREVOLT.exe", 0x7FFFFFF0}}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(plugin2->tryLockWithProcesses(c.map), c.result);
    EXPECT_EQ(fetch(), c.result);
    plugin->unlock();
  }
}

TEST_F(LoadedPlugin, TwoGamesFirstWins) {
  auto a = startGame({"--still", "--origin", "1,1,1"});
  auto b = startGame({"--still", "--origin", "2,2,2"});
  // The map's order decides: equal keys keep their insertion order.
  for (ChildGame *first : {a.get(), b.get()}) {
    ChildGame *second = first == a.get() ? b.get() : a.get();
    ProcessMap map;
    map.emplace(L"GREVOLT.exe", static_cast<unsigned long long>(first->pid()));
    map.emplace(L"GREVOLT.exe", static_cast<unsigned long long>(second->pid()));
    ASSERT_EQ(plugin2->tryLockWithProcesses(map), 1);
    ASSERT_EQ(fetch(), 1);
    expectPose(first->pose());
    plugin->unlock();
  }
  // Enumeration goes through processes in increasing identifier order.
  ChildGame *lower = a->pid() < b->pid() ? a.get() : b.get();
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(lower->pose());
}

TEST_F(LoadedPlugin, NamesMustMatchExactly) {
  LinkDir dir;
  // The game's code in files of the wrong name, and a process started as
  // GREVOLT.exe without the game's module (a link to another program).
  auto lower = startGame({"--still"}, dir.copy(GREVOLT_GAME_FILE, "grevolt.exe"));
  auto upper = startGame({"--still"}, dir.copy(GREVOLT_GAME_FILE, "GREVOLT.EXE"));
  LinkDir sleepDir;
  std::string sleepPath = sleepDir.link("/bin/sleep", "GREVOLT.exe");
  ChildGame notGame(sleepPath, {"60"}, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let exec finish

  EXPECT_EQ(plugin->tryLock(), 0);
  ProcessMap map{{L"GREVOLT.exe", static_cast<unsigned long long>(notGame.pid())}};
  EXPECT_EQ(plugin2->tryLockWithProcesses(map), 0);
  EXPECT_EQ(fetch(), 0);
}

TEST_F(LoadedPlugin, GameStartedThroughALinkOfAnotherName) {
  // Its process is named after the link; its executable file is GREVOLT.exe.
  LinkDir dir;
  auto game = startGame({"--still", "--origin", "5,6,7"}, dir.link(GREVOLT_GAME_FILE, "launcher"));
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(game->pose());
}

TEST_F(LoadedPlugin, GameWhoseFileWasDeletedIsStillFound) {
  // Replaced on disk while running (an update, say): the mapping is then
  // listed as "... (deleted)", which is not part of the module name.
  LinkDir dir;
  const std::filesystem::path path = dir.path() + "/GREVOLT.exe";
  std::filesystem::copy_file(GREVOLT_GAME_FILE, path);
  auto game = startGame({"--still"}, path.string());
  std::filesystem::remove(path);
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(game->pose());
}

TEST_F(LoadedPlugin, UnreadablePointerChainFailsTheTryLock) {
  auto game = startGame({"--unreadable-chain"});
  EXPECT_EQ(plugin->tryLock(), 0);
  EXPECT_EQ(fetch(), 0);
}

TEST_F(LoadedPlugin, PageTheGameProtectsFailsTheFetch) {
  // Both ways of telling the stand-in to protect its position page.
  for (bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "on a signal" : "when a file appears");
    LinkDir dir;
    const std::string trigger = dir.path() + "/protect";
    auto game = startGame(bySignal ? std::vector<std::string>{"--still", "--protect-on-signal"}
                                   : std::vector<std::string>{"--still", "--protect-when-file",
                                                              trigger});
    ASSERT_EQ(plugin->tryLock(), 1);
    ASSERT_EQ(fetch(), 1);
    expectPose(game->pose());

    if (bySignal) {
      ASSERT_EQ(kill(game->pid(), SIGUSR1), 0);
    } else {
      std::FILE *file = std::fopen(trigger.c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fclose(file);
    }
    ASSERT_TRUE(game->waitForLine("protected"));
    // The position comes first: nothing is read, everything stays zero.
    EXPECT_EQ(fetch(), 0);
    expectAllZero();
    EXPECT_EQ(context, "untouched");
    EXPECT_EQ(identity, L"untouched");
    // The attachment stays until unlock; a new try-lock's trial fetch fails.
    EXPECT_EQ(fetch(), 0);
    plugin->unlock();
    EXPECT_EQ(plugin->tryLock(), 0);
  }
}

TEST_F(LoadedPlugin, GameEndingKeepsAttachmentUntilUnlock) {
  auto game = startGame();
  ASSERT_EQ(plugin->tryLock(), 1);
  game->stop();
  EXPECT_EQ(fetch(), 0);
  expectAllZero();
  plugin->unlock();
  EXPECT_EQ(plugin->tryLock(), 0);
}

TEST_F(LoadedPlugin, GameWhoseIdentifierWentToAnotherProcessIsNotRead) {
  // The game ends, and before the next fetch another game, standing
  // elsewhere, receives its identifier: the attachment must not read it.
  auto game = startGame({"--still", "--origin", "1,2,3"});
  const pid_t id = game->pid();
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(game->pose());
  game->stop();
  std::unique_ptr<ChildGame> successor;
  try {
    successor = std::make_unique<ChildGame>(
        GREVOLT_GAME_FILE,
        std::vector<std::string>{"--still", "--origin", "7,8,9", "--exit-after", "60"}, true, id);
  } catch (const std::system_error &error) {
    GTEST_SKIP() << error.what();
  }
  ASSERT_EQ(successor->pid(), id);
  EXPECT_EQ(fetch(), 0);
  expectAllZero();  // nothing of the other process is handed out
  EXPECT_EQ(context, "untouched");
  EXPECT_EQ(identity, L"untouched");

  // The successor itself is readable once attached to.
  plugin->unlock();
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectPose(successor->pose());
}

}  // namespace
