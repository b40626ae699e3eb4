// The POSIX platform layer against real processes: names longer than the
// kernel keeps, games started through links, files deleted while mapped,
// gathered reads that stop part-way, pages the game protects, refused opens.
// The stand-in game runs here under other names than GREVOLT.exe, so that the
// tests that attach by enumerating processes, run at the same time, never see
// these games.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <system_error>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_game.h"
#include "platform.h"
#include "platform_posix.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kPosition = 0x976274;
constexpr std::uint32_t kChainRoot = 0x9A9468;
// The stand-in maps one page at the position; nothing follows it.
constexpr std::uint32_t kPositionPageEnd = 0x977000;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/grevolt-platform-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path); }

  // Runs a copy of the stand-in game under the file name `name`, started
  // through a link named `linkName` when that is given.
  std::unique_ptr<grevolt_test::ChildGame> startGameAs(const std::string &name,
                                                       std::vector<std::string> args = {},
                                                       const std::string &linkName = "") {
    const std::string copy = path + "/" + name;
    fs::copy_file(GREVOLT_GAME_FILE, copy);
    std::string program = copy;
    if (!linkName.empty()) {
      program = path + "/" + linkName;
      fs::create_symlink(copy, program);
    }
    args.insert(args.end(), {"--still", "--exit-after", "30"});
    return std::make_unique<grevolt_test::ChildGame>(program, args);
  }

  std::string path;
};

// Every name the process is visited under, in order.
std::vector<std::wstring> processNamesOf(pid_t pid) {
  std::vector<std::wstring> names;
  grevolt::nativePlatform().forEachProcess([&](std::wstring_view name, std::uint32_t id) {
    if (id == static_cast<std::uint32_t>(pid)) names.emplace_back(name);
    return false;
  });
  return names;
}

TEST(PosixPlatform, ProcessNames) {
  TempDir dir;
  struct Case {
    const char *file;  // UTF-8
    const char *link;  // started through this link, if not empty
    std::vector<std::wstring> expected;
  };
  const Case cases[] = {
      {"Game.exe", "", {L"Game.exe"}},
      {"exactly15chars_", "", {L"exactly15chars_"}},
      // The kernel keeps 15 bytes; the rest comes from the executable's path.
      {"a-much-longer-game-name.exe", "", {L"a-much-longer-game-name.exe"}},
      {"\xE5\x90\x8D\xE5\x89\x8D.exe", "", {L"\u540D\u524D.exe"}},
      // Through a link: the name it was started under, then the file's.
      {"linked-game.exe", "launcher", {L"launcher", L"linked-game.exe"}},
      {"linked-game2.exe", "a-long-launcher-name", {L"a-long-launcher", L"linked-game2.exe"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    auto game = dir.startGameAs(c.file, {}, c.link);
    EXPECT_EQ(processNamesOf(game->pid()), c.expected);
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

// Whether preads of /proc/PID/mem fail on a page without read permission on
// this kernel, seen on a page of the test's own.
bool kernelKeepsProtectionInMemoryFile() {
  void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(page, MAP_FAILED);
  int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  char byte;
  bool refused = pread(fd, &byte, 1, static_cast<off_t>(reinterpret_cast<std::uintptr_t>(page))) < 0;
  close(fd);
  munmap(page, 4096);
  return refused;
}

// Both ways of reading: process_vm_readv, and /proc/PID/mem as used where that
// call is missing or forbidden, which may open only on kernels that keep the
// page protection there.
struct ReadPath {
  const char *name;
  grevolt::Platform &(*platform)();
  bool mayRefuseOpen;
};

class PosixReads : public ::testing::TestWithParam<ReadPath> {
 protected:
  // Opens the game; false (with the reason checked) when this path may not
  // read on this kernel.
  bool open(pid_t pid) {
    handle = os().openForReading(static_cast<std::uint32_t>(pid));
    if (GetParam().mayRefuseOpen && !kernelKeepsProtectionInMemoryFile()) {
      EXPECT_EQ(handle, grevolt::kNoProcess)
          << "opened /proc/PID/mem although this kernel reads through protected pages there";
      return false;
    }
    EXPECT_NE(handle, grevolt::kNoProcess);
    return handle != grevolt::kNoProcess;
  }
  void TearDown() override { os().close(handle); }
  grevolt::Platform &os() { return GetParam().platform(); }

  grevolt::ProcessHandle handle = grevolt::kNoProcess;
};

void PrintTo(const ReadPath &path, std::ostream *out) { *out << path.name; }

TEST_P(PosixReads, WholeAndPartialReads) {
  TempDir dir;
  auto game = dir.startGameAs("reader-test.exe");
  if (!open(game->pid())) return;
  const grevolt_test::Pose &pose = game->pose();

  // A gathered read of three ranges, all readable.
  float position[3] = {};
  std::uint32_t root = 0;
  float again[3] = {};
  std::size_t copied = 99;
  grevolt::MemoryRange all[] = {
      {kPosition, position, 12}, {kChainRoot, &root, 4}, {kPosition, again, 12}};
  EXPECT_TRUE(os().readMemory(handle, all, &copied));
  EXPECT_EQ(copied, 28u);
  EXPECT_EQ(std::memcmp(position, pose.position, 12), 0);
  EXPECT_EQ(std::memcmp(again, pose.position, 12), 0);
  EXPECT_NE(root, 0u);

  // Single ranges that cannot be read whole.
  struct Case {
    const char *what;
    std::uint32_t address;
    std::size_t copied;
  };
  for (Case c : {Case{"lowest page", 92, 0}, Case{"unmapped", 0x30020040, 0},
                 Case{"8 of 12 bytes, then the end of the mapping", kPositionPageEnd - 8, 8},
                 Case{"4 of 12 bytes", kPositionPageEnd - 4, 4}}) {
    SCOPED_TRACE(c.what);
    unsigned char buffer[12];
    std::memset(buffer, 0xAB, sizeof buffer);
    copied = 99;
    grevolt::MemoryRange one{c.address, buffer, sizeof buffer};
    EXPECT_FALSE(os().readMemory(handle, {&one, 1}, &copied));
    EXPECT_EQ(copied, c.copied);
    for (std::size_t i = 0; i < sizeof buffer; ++i) {
      // The stand-in never writes near the end of its page: what was copied
      // there is zero, the rest is untouched.
      EXPECT_EQ(buffer[i], i < c.copied ? 0 : 0xAB) << "byte " << i;
    }
  }

  // A gathered read whose middle range is 8 of 12 bytes: the first range is
  // complete, the last one not written.
  float first[3] = {};
  unsigned char middle[12];
  unsigned char last[12];
  std::memset(middle, 0xAB, sizeof middle);
  std::memset(last, 0xCD, sizeof last);
  grevolt::MemoryRange stopping[] = {
      {kPosition, first, 12}, {kPositionPageEnd - 8, middle, 12}, {kPosition, last, 12}};
  copied = 99;
  EXPECT_FALSE(os().readMemory(handle, stopping, &copied));
  EXPECT_EQ(copied, 20u);
  EXPECT_EQ(std::memcmp(first, pose.position, 12), 0);
  EXPECT_EQ(middle[8], 0xAB);
  for (unsigned char byte : last) EXPECT_EQ(byte, 0xCD);
}

TEST_P(PosixReads, PageTheGameProtectsIsNotRead) {
  TempDir dir;
  auto game = dir.startGameAs("protecting.exe", {"--protect-on-signal"});
  if (!open(game->pid())) return;
  float position[3] = {};
  std::size_t copied = 0;
  grevolt::MemoryRange one{kPosition, position, 12};
  ASSERT_TRUE(os().readMemory(handle, {&one, 1}, &copied));

  ASSERT_EQ(kill(game->pid(), SIGUSR1), 0);
  ASSERT_TRUE(game->waitForLine("protected"));
  std::memset(position, 0xAB, sizeof position);
  copied = 99;
  EXPECT_FALSE(os().readMemory(handle, {&one, 1}, &copied));
  EXPECT_EQ(copied, 0u);
  for (std::size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(reinterpret_cast<unsigned char *>(position)[i], 0xAB) << "byte " << i;
  }

  // In a gathered read the protected range ends the read.
  std::uint32_t root = 0;
  std::uint32_t after = 0xCDCDCDCD;
  grevolt::MemoryRange stopping[] = {
      {kChainRoot, &root, 4}, {kPosition, position, 12}, {kChainRoot, &after, 4}};
  copied = 99;
  EXPECT_FALSE(os().readMemory(handle, stopping, &copied));
  EXPECT_EQ(copied, 4u);
  EXPECT_NE(root, 0u);
  EXPECT_EQ(after, 0xCDCDCDCDu);
}

TEST_P(PosixReads, IdentifierTakenOverByAnotherProcessIsNotRead) {
  TempDir dir;
  auto game = dir.startGameAs("first-holder.exe");
  if (!open(game->pid())) return;
  const pid_t id = game->pid();
  game->stop();
  std::unique_ptr<grevolt_test::ChildGame> successor;
  try {
    successor = std::make_unique<grevolt_test::ChildGame>(
        dir.path + "/first-holder.exe",
        std::vector<std::string>{"--origin", "9,9,9", "--exit-after", "30"}, true, id);
  } catch (const std::system_error &error) {
    GTEST_SKIP() << error.what();
  }
  ASSERT_EQ(successor->pid(), id);
  float position[3];
  std::uint32_t root = 0xABABABAB;
  std::memset(position, 0xAB, sizeof position);
  std::size_t copied = 99;
  grevolt::MemoryRange both[] = {{kPosition, position, 12}, {kChainRoot, &root, 4}};
  EXPECT_FALSE(os().readMemory(handle, both, &copied));
  EXPECT_EQ(copied, 0u);
  // Neither the successor's bytes nor anything else is left behind.
  for (std::size_t i = 0; i < 12; ++i) {
    const unsigned char byte = reinterpret_cast<unsigned char *>(position)[i];
    EXPECT_TRUE(byte == 0 || byte == 0xAB) << "byte " << i;
  }
  EXPECT_TRUE(root == 0 || root == 0xABABABABu);

  // A new open reads the successor.
  grevolt::ProcessHandle fresh = os().openForReading(static_cast<std::uint32_t>(id));
  ASSERT_NE(fresh, grevolt::kNoProcess);
  grevolt::MemoryRange one{kPosition, position, 12};
  EXPECT_TRUE(os().readMemory(fresh, {&one, 1}, &copied));
  EXPECT_EQ(std::memcmp(position, successor->pose().position, 12), 0);
  os().close(fresh);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PosixReads,
    ::testing::Values(ReadPath{"CrossMemoryCall", &grevolt::nativePlatform, false},
                      ReadPath{"MemoryFile", &grevolt::platformWithoutCrossMemoryCall, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PosixPlatform, ReadsWithoutAProcess) {
  grevolt::Platform &os = grevolt::nativePlatform();
  EXPECT_FALSE(os.forEachModule(0x7FFFFFF0, [](std::wstring_view, std::uint64_t) {
    return false;
  })) << "no such process";
  EXPECT_EQ(os.openForReading(0x7FFFFFF0), grevolt::kNoProcess);
  EXPECT_EQ(os.openForReading(0), grevolt::kNoProcess);
  float position[3];
  std::size_t copied = 99;
  grevolt::MemoryRange one{kPosition, position, 12};
  EXPECT_FALSE(os.readMemory(grevolt::kNoProcess, {&one, 1}, &copied));
  EXPECT_EQ(copied, 0u);
}

TEST(PosixPlatform, GameThatEndedIsNotRead) {
  TempDir dir;
  auto game = dir.startGameAs("ending.exe");
  grevolt::Platform &os = grevolt::nativePlatform();
  grevolt::ProcessHandle handle = os.openForReading(static_cast<std::uint32_t>(game->pid()));
  ASSERT_NE(handle, grevolt::kNoProcess);
  game->stop();
  float position[3];
  std::size_t copied = 99;
  grevolt::MemoryRange one{kPosition, position, 12};
  EXPECT_FALSE(os.readMemory(handle, {&one, 1}, &copied));
  EXPECT_EQ(copied, 0u);
  os.close(handle);
}

// Drops the privilege to trace any process from this process's effective set.
bool dropTracePrivilege() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_TO_INDEX(CAP_SYS_PTRACE)].effective &= ~CAP_TO_MASK(CAP_SYS_PTRACE);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(PosixPlatform, OpenRefusedByTheKernel) {
  // A game that is not dumpable may be read only with the privilege to trace
  // any process; a child of the test drops that privilege (a no-op for a
  // user without it) and tries both ways of reading.  A readable game shows
  // that the child may read otherwise.
  TempDir dir;
  auto refusing = dir.startGameAs("refusing.exe", {"--refuse-readers"});
  auto readable = dir.startGameAs("readable.exe");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!dropTracePrivilege()) _exit(100);
    int result = 0;
    grevolt::Platform *paths[] = {&grevolt::nativePlatform(),
                                  &grevolt::platformWithoutCrossMemoryCall()};
    for (std::size_t i = 0; i < 2; ++i) {
      grevolt::ProcessHandle handle =
          paths[i]->openForReading(static_cast<std::uint32_t>(refusing->pid()));
      if (handle != grevolt::kNoProcess) result |= 1 << i;
    }
    grevolt::ProcessHandle handle =
        grevolt::nativePlatform().openForReading(static_cast<std::uint32_t>(readable->pid()));
    if (handle == grevolt::kNoProcess) result |= 4;
    _exit(result);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  const int result = WEXITSTATUS(status);
  ASSERT_NE(result, 100) << "could not drop the trace privilege";
  EXPECT_EQ(result & 1, 0) << "process_vm_readv path opened a game that refuses readers";
  EXPECT_EQ(result & 2, 0) << "/proc/PID/mem path opened a game that refuses readers";
  EXPECT_EQ(result & 4, 0) << "the child could not open a readable game either";
}

}  // namespace
