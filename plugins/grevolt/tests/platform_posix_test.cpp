// The POSIX platform layer against real processes: names longer than the
// kernel keeps, files deleted while mapped, refused and failed reads.  The
// stand-in game runs here under other names than GREVOLT.exe, so that the
// tests that attach by enumerating processes, run at the same time, never
// see these games.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "child_game.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/grevolt-platform-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path); }

  // Runs a copy of the stand-in game under the file name `name`.
  std::unique_ptr<grevolt_test::ChildGame> startGameAs(const std::string &name) {
    const std::string copy = path + "/" + name;
    fs::copy_file(GREVOLT_GAME_FILE, copy);
    return std::make_unique<grevolt_test::ChildGame>(
        copy, std::vector<std::string>{"--still", "--exit-after", "30"});
  }

  std::string path;
};

std::wstring processNameOf(pid_t pid) {
  std::wstring found;
  grevolt::nativePlatform().forEachProcess([&](std::wstring_view name, std::uint32_t id) {
    if (id != static_cast<std::uint32_t>(pid)) return false;
    found = name;
    return true;
  });
  return found;
}

TEST(PosixPlatform, ProcessNamesLongerThanTheKernelKeeps) {
  TempDir dir;
  struct Case {
    const char *file;        // UTF-8
    const wchar_t *expected;
  };
  const Case cases[] = {
      {"Game.exe", L"Game.exe"},
      {"exactly15chars_", L"exactly15chars_"},
      // The kernel keeps 15 bytes; the rest comes from the executable's path.
      {"a-much-longer-game-name.exe", L"a-much-longer-game-name.exe"},
      {"\xE5\x90\x8D\xE5\x89\x8D.exe", L"\u540D\u524D.exe"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    auto game = dir.startGameAs(c.file);
    EXPECT_EQ(processNameOf(game->pid()), c.expected);
  }
}

TEST(PosixPlatform, DeletedFileStillCountsAsTheModule) {
  TempDir dir;
  auto game = dir.startGameAs("replaced.exe");
  fs::remove(dir.path + "/replaced.exe");
  int matches = 0;
  std::uint64_t load = 0;
  ASSERT_TRUE(grevolt::nativePlatform().forEachModule(
      static_cast<std::uint32_t>(game->pid()), [&](std::wstring_view name, std::uint64_t base) {
        if (name == L"replaced.exe") {
          ++matches;
          load = base;
        }
        return false;
      }));
  EXPECT_EQ(matches, 1) << "each mapped file once, without the deleted suffix";
  EXPECT_NE(load, 0u);
}

TEST(PosixPlatform, ReadsAndTheirFailures) {
  TempDir dir;
  auto game = dir.startGameAs("reader-test.exe");
  grevolt::Platform &os = grevolt::nativePlatform();
  const auto pid = static_cast<std::uint32_t>(game->pid());
  EXPECT_FALSE(os.forEachModule(0x7FFFFFF0, [](std::wstring_view, std::uint64_t) {
    return false;
  })) << "no such process";
  EXPECT_EQ(os.openForReading(0x7FFFFFF0), grevolt::kNoProcess);

  grevolt::ProcessHandle handle = os.openForReading(pid);
  ASSERT_NE(handle, grevolt::kNoProcess);
  float position[3] = {};
  std::size_t copied = 99;
  EXPECT_TRUE(os.readMemory(handle, 0x976274, position, sizeof position, &copied));
  EXPECT_EQ(copied, sizeof position);
  EXPECT_EQ(position[0], game->pose().position[0]);

  struct Case {
    const char *what;
    std::uint32_t address;
  };
  for (Case c : {Case{"lowest page", 92}, Case{"unmapped", 0x30020040},
                 Case{"runs off the end of a mapping", 0x976FFC}}) {
    SCOPED_TRACE(c.what);
    unsigned char buffer[12];
    copied = 99;
    EXPECT_FALSE(os.readMemory(handle, c.address, buffer, sizeof buffer, &copied));
    EXPECT_LT(copied, sizeof buffer);
  }
  os.close(handle);
  copied = 99;
  EXPECT_FALSE(os.readMemory(grevolt::kNoProcess, 0x976274, position, sizeof position, &copied));
  EXPECT_EQ(copied, 0u);
}

}  // namespace
