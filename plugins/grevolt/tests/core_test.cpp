// The plug-in's attachment and fetch logic against a fake platform: every
// failure at every step (some of which a real process cannot show, such as a
// failing process list or a platform that claims success for a short read)
// and the exact calls the plug-in makes.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "grevolt.h"
#include "platform.h"
#include "plugin_internal.h"

namespace {

using grevolt::kChainRootAddress;
using grevolt::kNoProcess;
using grevolt::kPositionAddress;
using grevolt::ProcessHandle;

// A scripted system: processes, their modules and one game memory shared by
// all processes.  It records every call so tests can see what the plug-in did.
class FakePlatform : public grevolt::Platform {
 public:
  struct Read {
    std::uint32_t address;
    std::size_t size;
    bool operator==(const Read &) const = default;
  };

  std::vector<std::pair<std::wstring, std::uint32_t>> processes;
  std::map<std::uint32_t, std::vector<std::wstring>> modules;
  std::set<std::uint32_t> refuseOpen;
  bool processListFails = false;
  bool moduleListFails = false;
  std::map<std::uint32_t, unsigned char> memory;  // byte-addressed
  // A read starting here copies only `partialBytes`; `partialReportsSuccess`
  // makes the platform claim success anyway, to show the plug-in counts.
  std::uint32_t partialAt = 0;
  std::size_t partialBytes = 0;
  bool partialReportsSuccess = false;

  int processListCalls = 0;
  int moduleListCalls = 0;
  std::vector<std::uint32_t> opened;  // process identifiers
  std::set<ProcessHandle> openHandles;
  int closes = 0;
  std::vector<std::vector<Read>> reads;  // the ranges of each read call

  bool forEachProcess(grevolt::ProcessVisitor visit) override {
    ++processListCalls;
    if (processListFails) return false;
    for (auto &[name, id] : processes) {
      if (visit(name, id)) break;
    }
    return true;
  }

  bool forEachModule(std::uint32_t processId, grevolt::ModuleVisitor visit) override {
    ++moduleListCalls;
    if (moduleListFails) return false;
    std::uint64_t base = 0x400000;
    for (const std::wstring &name : modules[processId]) {
      if (visit(name, base)) break;
      base += 0x100000;
    }
    return true;
  }

  ProcessHandle openForReading(std::uint32_t processId) override {
    if (refuseOpen.count(processId) != 0) return kNoProcess;
    opened.push_back(processId);
    ProcessHandle handle = 1000 + opened.size();
    openHandles.insert(handle);
    return handle;
  }

  // Copies range after range and stops at the first that fails, as the
  // platform contract says.
  bool readMemory(ProcessHandle process, std::span<const grevolt::MemoryRange> ranges,
                  std::size_t *copied) override {
    std::vector<Read> call;
    for (const grevolt::MemoryRange &range : ranges) call.push_back({range.address, range.size});
    reads.push_back(call);
    *copied = 0;
    if (openHandles.count(process) == 0) return false;
    for (const grevolt::MemoryRange &range : ranges) {
      std::size_t limit = range.address == partialAt ? partialBytes : range.size;
      auto *out = static_cast<unsigned char *>(range.destination);
      for (std::size_t i = 0; i < limit; ++i) {
        auto byte = memory.find(static_cast<std::uint32_t>(range.address + i));
        if (byte == memory.end()) return false;
        out[i] = byte->second;
        ++*copied;
      }
      if (limit != range.size) return partialReportsSuccess;
    }
    return true;
  }

  void close(ProcessHandle process) override {
    ++closes;
    EXPECT_EQ(openHandles.erase(process), 1u) << "closed a handle that was not open";
  }

  void put(std::uint32_t address, const void *data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      memory[static_cast<std::uint32_t>(address + i)] = static_cast<const unsigned char *>(data)[i];
    }
  }
  void putPointer(std::uint32_t address, std::uint32_t value) { put(address, &value, 4); }
  void putVector(std::uint32_t address, const float (&v)[3]) { put(address, v, 12); }
};

constexpr std::uint32_t kGamePid = 4242;
constexpr std::uint32_t kP1 = 0x01200000;
constexpr std::uint32_t kP2 = 0x01300010;
constexpr float kPosition[3] = {-1.5e30f, 3.0e38f, -0.25f};  // passed through unchanged
constexpr float kFront[3] = {0.0f, -0.6f, 0.8f};
constexpr float kTop[3] = {1.0f, 2.0f, -3.0f};

class PluginCore : public ::testing::Test {
 protected:
  void SetUp() override {
    grevolt::setPlatform(&os);
    plugin = getBrellanPlugin();
    plugin2 = getBrellanPlugin2();
    os.processes = {{L"init", 1}, {L"GREVOLT.exe", kGamePid}, {L"other.exe", 77}};
    os.modules[kGamePid] = {L"ntdll.dll", L"GREVOLT.exe", L"kernel32.dll"};
    os.modules[77] = {L"other.exe"};
    os.putPointer(kChainRootAddress, kP1);
    os.putPointer(kP1 + 152, kP2);
    os.putVector(kPositionAddress, kPosition);
    os.putVector(kP2 + 76, kTop);
    os.putVector(kP2 + 92, kFront);
  }
  void TearDown() override {
    plugin->unlock();
    EXPECT_TRUE(os.openHandles.empty()) << "a process handle was left open";
    grevolt::setPlatform(nullptr);
  }

  // Calls fetch with all outputs pre-filled with garbage.
  int fetch() {
    for (auto &v : out) v[0] = v[1] = v[2] = 99.0f;
    return plugin->fetch(out[0], out[1], out[2], out[3], out[4], out[5], context, identity);
  }
  void expectVector(int index, const float (&expected)[3]) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[index][i], expected[i]) << "array " << index;
  }
  void expectZero(int index) { expectVector(index, {0.0f, 0.0f, 0.0f}); }

  FakePlatform os;
  PluginDescriptor *plugin = nullptr;
  PluginDescriptor2 *plugin2 = nullptr;
  float out[6][3];
  std::string context = "context the host owns";
  std::wstring identity = L"identity the host owns";
};

TEST_F(PluginCore, SuccessfulFetchDeliversGameValuesWithOneGatheredRead) {
  ASSERT_EQ(plugin->tryLock(), 1);
  EXPECT_EQ(os.opened, std::vector<std::uint32_t>{kGamePid});
  os.reads.clear();

  ASSERT_EQ(fetch(), 1);
  expectVector(0, kPosition);
  expectVector(1, kFront);
  expectVector(2, kTop);
  expectVector(3, kPosition);
  expectVector(4, kFront);
  expectVector(5, kTop);
  // One read call of three 12-byte ranges, none of them on the pointer chain.
  std::vector<std::vector<FakePlatform::Read>> expected{
      {{kPositionAddress, 12}, {kP2 + 92, 12}, {kP2 + 76, 12}}};
  EXPECT_EQ(os.reads, expected);
  EXPECT_EQ(context, "context the host owns");
  EXPECT_EQ(identity, L"identity the host owns");
}

TEST_F(PluginCore, PointerChainIsFollowedOnlyAtTryLock) {
  ASSERT_EQ(plugin->tryLock(), 1);
  // The game moves its object: fetch keeps reading the old place.
  const std::uint32_t moved = 0x01500000;
  os.putPointer(kP1 + 152, moved);
  os.putVector(moved + 92, {7.0f, 7.0f, 7.0f});
  os.putVector(moved + 76, {8.0f, 8.0f, 8.0f});
  ASSERT_EQ(fetch(), 1);
  expectVector(1, kFront);
  // Only a new try-lock follows the chain again.
  plugin->unlock();
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(fetch(), 1);
  expectVector(1, {7.0f, 7.0f, 7.0f});
  expectVector(2, {8.0f, 8.0f, 8.0f});
}

TEST_F(PluginCore, FetchWithoutAttachmentZeroesEverything) {
  // Before any try-lock, and after unlock.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(fetch(), 0);
    for (int i = 0; i < 6; ++i) expectZero(i);
    EXPECT_EQ(context, "context the host owns");
    EXPECT_EQ(identity, L"identity the host owns");
    ASSERT_EQ(plugin->tryLock(), 1);
    plugin->unlock();
  }
}

// Which of the three vectors of the gathered read fails, and how: the contents
// of the six arrays on failure.
struct FailedRead {
  const char *name;
  int failingArray;       // 0 position, 1 front, 2 top
  std::size_t copied;     // bytes the platform copies before failing
  bool claimsSuccess;     // the platform reports success despite the short copy
};

void PrintTo(const FailedRead &c, std::ostream *os) { *os << c.name; }

class FetchFailure : public PluginCore, public ::testing::WithParamInterface<FailedRead> {};

TEST_P(FetchFailure, ArraysHoldWhatWasRead) {
  const FailedRead &c = GetParam();
  ASSERT_EQ(plugin->tryLock(), 1);
  const std::uint32_t addresses[3] = {kPositionAddress, kP2 + 92, kP2 + 76};
  const float *values[3] = {kPosition, kFront, kTop};
  os.partialAt = addresses[c.failingArray];
  os.partialBytes = c.copied;
  os.partialReportsSuccess = c.claimsSuccess;
  os.reads.clear();

  EXPECT_EQ(fetch(), 0);
  EXPECT_EQ(os.reads.size(), 1u);
  for (int a = 0; a < 3; ++a) {
    for (int i = 0; i < 3; ++i) {
      float expected = a < c.failingArray ? values[a][i]
                       : a == c.failingArray && i * 4u < c.copied ? values[a][i]
                                                                  : 0.0f;
      EXPECT_EQ(out[a][i], expected) << "avatar array " << a << " component " << i;
    }
  }
  for (int a = 3; a < 6; ++a) expectZero(a);
  EXPECT_EQ(context, "context the host owns");
  EXPECT_EQ(identity, L"identity the host owns");

  // A failed fetch keeps the attachment: once the memory reads again, so does fetch.
  os.partialAt = 0;
  EXPECT_EQ(fetch(), 1);
  EXPECT_EQ(os.closes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, FetchFailure,
    ::testing::Values(FailedRead{"PositionRefused", 0, 0, false},
                      FailedRead{"PositionEightOfTwelve", 0, 8, false},
                      FailedRead{"PositionEightOfTwelveClaimedGood", 0, 8, true},
                      FailedRead{"FrontRefused", 1, 0, false},
                      FailedRead{"FrontEightOfTwelveClaimedGood", 1, 8, true},
                      FailedRead{"TopFourOfTwelve", 2, 4, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PluginCore, EmptyMapBehavesAsTryLock) {
  struct Case {
    const char *what;
    bool gameRuns;
  };
  for (Case c : {Case{"game running", true}, Case{"no game", false}}) {
    SCOPED_TRACE(c.what);
    if (!c.gameRuns) os.processes.erase(os.processes.begin() + 1);
    os.processListCalls = 0;
    int viaMap = plugin2->tryLockWithProcesses(ProcessMap{});
    plugin->unlock();
    int viaEnumeration = plugin->tryLock();
    plugin->unlock();
    EXPECT_EQ(viaMap, c.gameRuns ? 1 : 0);
    EXPECT_EQ(viaMap, viaEnumeration);
    EXPECT_EQ(os.processListCalls, 2) << "both must enumerate the processes";
  }
}

TEST_F(PluginCore, MapWithoutGameFailsWithoutEnumerating) {
  ProcessMap map{{L"explorer.exe", 10}, {L"grevolt.exe", kGamePid}};
  EXPECT_EQ(plugin2->tryLockWithProcesses(map), 0);
  EXPECT_EQ(os.processListCalls, 0);
  EXPECT_EQ(os.moduleListCalls, 0);
  EXPECT_TRUE(os.opened.empty());
}

TEST_F(PluginCore, MapEntryGivesTheProcess) {
  struct Case {
    const char *what;
    ProcessMap map;
    int result;
    std::vector<std::uint32_t> opened;
  };
  const Case cases[] = {
      {"plain entry", {{L"A.exe", 5}, {L"GREVOLT.exe", kGamePid}, {L"z.exe", 6}}, 1, {kGamePid}},
      {"low 32 bits of the value", {{L"GREVOLT.exe", 0xABCD00000000ull + kGamePid}}, 1, {kGamePid}},
      {"low 32 bits zero", {{L"GREVOLT.exe", 0x100000000ull}}, 0, {}},
      {"process without the module", {{L"GREVOLT.exe", 77}}, 0, {}},
      // Equal keys: the first in the map's order wins, even though the
      // other one is the game.
      {"two entries, first wins", {{L"GREVOLT.exe", 77}, {L"GREVOLT.exe", kGamePid}}, 0, {}},
      {"two entries, first is the game", {{L"GREVOLT.exe", kGamePid}, {L"GREVOLT.exe", 77}}, 1,
       {kGamePid}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    os.opened.clear();
    EXPECT_EQ(plugin2->tryLockWithProcesses(c.map), c.result);
    EXPECT_EQ(os.opened, c.opened);
    EXPECT_EQ(os.processListCalls, 0);
    plugin->unlock();
  }
}

TEST_F(PluginCore, NamesCompareExactly) {
  const wchar_t *nearMisses[] = {L"grevolt.exe", L"GREVOLT.EXE", L"GREVOLT", L"GREVOLT.exe ",
                                 L" GREVOLT.exe", L"C:\\Games\\GREVOLT.exe", L"GREVOLT.ex"};
  for (const wchar_t *name : nearMisses) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    // As a process name, in the enumeration and in the host's map.
    os.processes = {{name, kGamePid}};
    EXPECT_EQ(plugin->tryLock(), 0);
    EXPECT_EQ(plugin2->tryLockWithProcesses(ProcessMap{{name, kGamePid}}), 0);
    // As the module name of a correctly named process.
    os.processes = {{L"GREVOLT.exe", kGamePid}};
    os.modules[kGamePid] = {name};
    EXPECT_EQ(plugin->tryLock(), 0);
    EXPECT_TRUE(os.opened.empty());
  }
}

TEST_F(PluginCore, FirstGameProcessInSystemOrderWins) {
  os.processes = {{L"GREVOLT.exe", 900}, {L"GREVOLT.exe", kGamePid}};
  os.modules[900] = {L"GREVOLT.exe"};
  ASSERT_EQ(plugin->tryLock(), 1);
  EXPECT_EQ(os.opened, std::vector<std::uint32_t>{900});
}

TEST_F(PluginCore, AttachFailuresLeaveNothingOpen) {
  struct Case {
    const char *what;
    void (*breakIt)(FakePlatform &);
    bool opens;  // whether a handle is opened (then closed) on the way
  };
  const Case cases[] = {
      {"process list fails", [](FakePlatform &os) { os.processListFails = true; }, false},
      {"no processes", [](FakePlatform &os) { os.processes.clear(); }, false},
      {"module list fails", [](FakePlatform &os) { os.moduleListFails = true; }, false},
      {"no modules", [](FakePlatform &os) { os.modules[kGamePid].clear(); }, false},
      {"open refused", [](FakePlatform &os) { os.refuseOpen.insert(kGamePid); }, false},
      {"first chain pointer unreadable",
       [](FakePlatform &os) {
         for (std::uint32_t i = 0; i < 4; ++i) os.memory.erase(kChainRootAddress + i);
       },
       true},
      {"second chain pointer unreadable",
       [](FakePlatform &os) {
         for (std::uint32_t i = 0; i < 4; ++i) os.memory.erase(kP1 + 152 + i);
       },
       true},
      {"position unreadable",
       [](FakePlatform &os) { os.memory.erase(kPositionAddress + 11); }, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform fresh;
    grevolt::setPlatform(&fresh);
    fresh.processes = os.processes;
    fresh.modules = os.modules;
    fresh.memory = os.memory;
    c.breakIt(fresh);
    EXPECT_EQ(plugin->tryLock(), 0);
    EXPECT_EQ(fresh.opened.size(), c.opens ? 1u : 0u);
    EXPECT_TRUE(fresh.openHandles.empty());
    // unlock has nothing to close afterwards; fetch fails.
    int closesBefore = fresh.closes;
    plugin->unlock();
    EXPECT_EQ(fresh.closes, closesBefore);
    EXPECT_EQ(fetch(), 0);
  }
  grevolt::setPlatform(&os);
}

TEST_F(PluginCore, UnreadableFirstPointerLeadsToLowAddresses) {
  for (std::uint32_t i = 0; i < 4; ++i) os.memory.erase(kChainRootAddress + i);
  EXPECT_EQ(plugin->tryLock(), 0);
  // P1 and P2 stay 0: the chain read at 152 and the trial fetch at 92 and 76.
  // The two pointers are read one call each, in order.
  std::vector<std::vector<FakePlatform::Read>> expected{
      {{kChainRootAddress, 4}}, {{152, 4}}, {{kPositionAddress, 12}, {92, 12}, {76, 12}}};
  EXPECT_EQ(os.reads, expected);
}

TEST_F(PluginCore, UnlockClosesOnceAndIsHarmlessOtherwise) {
  plugin->unlock();  // before any try-lock
  EXPECT_EQ(os.closes, 0);
  ASSERT_EQ(plugin->tryLock(), 1);
  plugin->unlock();
  plugin->unlock();
  EXPECT_EQ(os.closes, 1);
}

TEST_F(PluginCore, TryLockWhileAttachedClosesTheHeldHandle) {
  ASSERT_EQ(plugin->tryLock(), 1);
  ASSERT_EQ(plugin2->tryLockWithProcesses(ProcessMap{{L"GREVOLT.exe", kGamePid}}), 1);
  EXPECT_EQ(os.opened.size(), 2u);
  EXPECT_EQ(os.openHandles.size(), 1u) << "the first handle must not leak";
}

}  // namespace
