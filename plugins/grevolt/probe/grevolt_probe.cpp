// grevolt-probe: a minimal host for the plug-in.  It loads a plug-in file the
// way the voice-chat client does, shows both descriptor records, attaches to
// the game and prints what `fetch` delivers, so that a player can check that
// the plug-in sees their game.  Errors are printed in one place (main).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "grevolt.h"
#include "platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "Usage: grevolt-probe [OPTION]... PLUGIN-FILE [-- GAME-COMMAND [ARG]...]\n"
    "Loads a positional-audio plug-in as the voice-chat client does, prints its\n"
    "records, attaches to the running game and prints the position, front and\n"
    "top vectors it reads, 50 times a second.  Use it to check that the plug-in\n"
    "sees your game.\n"
    "\n"
    "  --map            attach with a table of the running processes (the\n"
    "                   generation-2 try-lock) instead of letting the plug-in\n"
    "                   enumerate processes itself\n"
    "  --pid ID         attach to the process ID (as the system numbers it; on\n"
    "                   Windows its Windows process ID) with a table that names\n"
    "                   only it GREVOLT.exe: to choose one game of several\n"
    "  --timeout S      give up attaching after S seconds (default 10)\n"
    "  --seconds N      fetch for N seconds, then unlock (default 5)\n"
    "  --help           show this text\n"
    "\n"
    "With '-- GAME-COMMAND' (not on Windows), the probe first starts the game as\n"
    "its own child and stops it at the end, and attaches only to that game: to\n"
    "the child or a process the child started (not to another game running\n"
    "beside it; --pid still names a process of your choice).  Where the system\n"
    "lets a process read only the memory of its descendants (the kernel's ptrace\n"
    "restriction), this is how the probe gets permission; otherwise a refused\n"
    "read makes the attach fail.\n"
    "\n"
    "Exit status: 0 when attached and at least one fetch succeeded, 1 on any\n"
    "failure, 2 on a usage error.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ProbeOptions {
  bool useMap = false;
  unsigned long long pid = 0;  // 0 = none
  double timeout = 10;
  double seconds = 5;
  std::string plugin;
  std::vector<std::string> gameCommand;
};

double parseSeconds(const char *option, const char *text) {
  char *end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 86400) {
    throw UsageError(std::string("invalid number of seconds for ") + option + ": '" + text + "'");
  }
  return value;
}

unsigned long long parseProcessId(const char *text) {
  char *end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || text[0] == '-' || errno != 0 || value == 0 ||
      value > 0xFFFFFFFFull) {
    throw UsageError(std::string("invalid process ID for --pid: '") + text + "'");
  }
  return value;
}

ProbeOptions parseOptions(int argc, char **argv) {
  ProbeOptions options;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--map") {
      options.useMap = true;
    } else if ((arg == "--timeout" || arg == "--seconds") && i + 1 < argc) {
      (arg == "--timeout" ? options.timeout : options.seconds) = parseSeconds(argv[i], argv[i + 1]);
      ++i;
    } else if (arg == "--pid" && i + 1 < argc) {
      options.pid = parseProcessId(argv[++i]);
    } else if (arg == "--" || (arg.size() > 1 && arg[0] == '-')) {
      if (arg == "--") break;
      throw UsageError("unknown or incomplete option '" + arg + "'");
    } else if (options.plugin.empty()) {
      options.plugin = arg;
    } else {
      throw UsageError("unexpected argument '" + arg + "'");
    }
  }
  if (i < argc) {  // "--" seen
    for (++i; i < argc; ++i) options.gameCommand.push_back(argv[i]);
    if (options.gameCommand.empty()) throw UsageError("no game command after '--'");
  }
  if (options.plugin.empty()) throw UsageError("no plug-in file given");
  if (options.useMap && options.pid != 0) throw UsageError("--map and --pid exclude each other");
  return options;
}

// Wide strings from the plug-in (32-bit units on Linux, 16-bit on Windows) as
// UTF-8 for the terminal.
std::string toUtf8(const std::wstring &text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
        char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The loaded plug-in file; unloaded when this goes away.
class PluginFile {
 public:
  explicit PluginFile(const std::string &path) {
#if defined(_WIN32)
    // The command line arrives in the system's code page.
    int units = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<std::size_t>(units) : 1, L'\0');
    if (units > 0) MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), units);
    handle_ = LoadLibraryW(wide.c_str());
    if (handle_ == nullptr) {
      throw std::runtime_error("cannot load '" + path + "': error " +
                               std::to_string(GetLastError()));
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("cannot load: ") + dlerror());
#endif
  }
  ~PluginFile() {
#if defined(_WIN32)
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
  }
  PluginFile(const PluginFile &) = delete;
  PluginFile &operator=(const PluginFile &) = delete;

  template <typename Function>
  Function find(const char *name) const {
#if defined(_WIN32)
    // Through the generic function type, which any function type converts to.
    auto symbol = reinterpret_cast<void (*)()>(GetProcAddress(handle_, name));
#else
    void *symbol = dlsym(handle_, name);
#endif
    if (symbol == nullptr) throw std::runtime_error(std::string("no export named ") + name);
    return reinterpret_cast<Function>(symbol);
  }

 private:
#if defined(_WIN32)
  HMODULE handle_;
#else
  void *handle_;
#endif
};

// A game started as the probe's own child; stopped when this goes away.
class ChildGame {
 public:
  explicit ChildGame(const std::vector<std::string> &command) {
    if (command.empty()) return;
#if defined(_WIN32)
    throw std::runtime_error("starting the game from the probe is not supported on Windows");
#else
    std::vector<char *> argv;
    for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("cannot start the game: fork failed");
    if (pid_ == 0) {
      execvp(argv[0], argv.data());
      std::fprintf(stderr, "grevolt-probe: cannot run '%s'\n", argv[0]);
      _exit(127);
    }
#endif
  }
  ~ChildGame() {
#if !defined(_WIN32)
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
#endif
  }
  ChildGame(const ChildGame &) = delete;
  ChildGame &operator=(const ChildGame &) = delete;

  bool started() const {
#if defined(_WIN32)
    return false;
#else
    return pid_ > 0;
#endif
  }

  // The running processes that are the child or descend from it, as a table
  // for the generation-2 try-lock; a game beside the probe is not in it.
  ProcessMap family() const {
    ProcessMap processes;
#if !defined(_WIN32)
    std::set<unsigned long long> members{static_cast<unsigned long long>(pid_)};
    std::vector<std::pair<std::wstring, std::uint32_t>> all;
    grevolt::nativePlatform().forEachProcess([&](std::wstring_view name, std::uint32_t id) {
      all.emplace_back(std::wstring(name), id);
      return false;
    });
    // Process IDs are reused and not ordered by age, so walk up from each.
    for (const auto &[name, id] : all) {
      unsigned long long at = id;
      for (int depth = 0; depth < 64 && at > 1 && !members.count(at); ++depth) {
        at = parentOf(at);
      }
      if (members.count(at)) {
        members.insert(id);
        processes.emplace(name, id);
      }
    }
#endif
    return processes;
  }

 private:
#if !defined(_WIN32)
  // The parent's process ID from /proc/ID/stat ("ID (NAME) STATE PPID ..."),
  // or 0 when the process is gone.  NAME may hold spaces and parentheses, so
  // the fields are counted from the last ')'.
  static unsigned long long parentOf(unsigned long long id) {
    std::ifstream file("/proc/" + std::to_string(id) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    unsigned long long parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %llu", &state, &parent) != 2) return 0;
    return parent;
  }
#endif

#if !defined(_WIN32)
  pid_t pid_ = -1;
#endif
};

ProcessMap runningProcesses() {
  ProcessMap processes;
  grevolt::nativePlatform().forEachProcess([&](std::wstring_view name, std::uint32_t id) {
    processes.emplace(std::wstring(name), id);
    return false;
  });
  return processes;
}

void printVector(const char *label, const float *v) {
  std::printf(" %s %9.3f %9.3f %9.3f", label, v[0], v[1], v[2]);
}

int probe(const ProbeOptions &options) {
  PluginFile plugin(options.plugin);
  PluginDescriptor *record = plugin.find<GetPluginFunction>("getBrellanPlugin")();
  PluginDescriptor2 *record2 = plugin.find<GetPlugin2Function>("getBrellanPlugin2")();
  if (record == nullptr || record->magic != kPluginMagic) {
    throw std::runtime_error("getBrellanPlugin returned no generation-1 record");
  }
  if (record2 == nullptr || record2->magic != kPluginMagic2) {
    throw std::runtime_error("getBrellanPlugin2 returned no generation-2 record");
  }
  std::printf("plug-in: %s\n", options.plugin.c_str());
  std::printf("record 1: magic 0x%08X, description \"%s\", short name \"%s\"\n",
              static_cast<unsigned>(record->magic), toUtf8(record->description).c_str(),
              toUtf8(record->shortName).c_str());
  std::printf("record 2: magic 0x%08X, version %u\n", static_cast<unsigned>(record2->magic),
              static_cast<unsigned>(record2->version));
  std::printf("long description: \"%s\"\n", toUtf8(record->longDescription()).c_str());

  ChildGame game(options.gameCommand);

  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + std::chrono::duration<double>(options.timeout);
  int attempts = 0;
  std::size_t mapSize = 0;
  for (;;) {
    ++attempts;
    int locked;
    if (options.pid != 0) {
      const ProcessMap processes{{L"GREVOLT.exe", options.pid}};
      locked = record2->tryLockWithProcesses(processes);
    } else if (game.started()) {
      locked = record2->tryLockWithProcesses(game.family());
    } else if (options.useMap) {
      ProcessMap processes = runningProcesses();
      mapSize = processes.size();
      locked = record2->tryLockWithProcesses(processes);
    } else {
      locked = record->tryLock();
    }
    if (locked == 1) break;
    if (Clock::now() >= giveUp) {
      std::fflush(stdout);
      throw std::runtime_error(
          "the plug-in did not attach to the game within the time-out (is the game running, "
          "and may this user read its memory?)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (options.pid != 0) {
    std::printf("attached after %d try-lock(s) with a table naming process %llu\n", attempts,
                options.pid);
  } else if (game.started()) {
    std::printf("attached after %d try-lock(s) to the game the probe started\n", attempts);
  } else if (options.useMap) {
    std::printf("attached after %d try-lock(s) with a table of %zu processes\n", attempts,
                mapSize);
  } else {
    std::printf("attached after %d try-lock(s)\n", attempts);
  }

  const auto period = std::chrono::milliseconds(20);  // 50 times a second
  const auto start = Clock::now();
  const auto stop = start + std::chrono::duration<double>(options.seconds);
  int good = 0, failed = 0;
  std::string context;
  std::wstring identity;
  for (auto next = start; next < stop || good + failed == 0; next += period) {
    std::this_thread::sleep_until(next);
    float position[3], front[3], top[3], cameraPosition[3], cameraFront[3], cameraTop[3];
    int ok = record->fetch(position, front, top, cameraPosition, cameraFront, cameraTop, context,
                           identity);
    double at = std::chrono::duration<double>(Clock::now() - start).count();
    if (ok == 1) {
      ++good;
      std::printf("%7.3f", at);
      printVector("position", position);
      printVector("front", front);
      printVector("top", top);
      std::printf("\n");
    } else {
      ++failed;
      std::printf("%7.3f fetch failed\n", at);
    }
  }
  record->unlock();
  std::printf("unlocked after %d fetches (%d failed)\n", good + failed, failed);
  if (good == 0) throw std::runtime_error("no fetch succeeded");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
      if (std::strcmp(argv[i], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
      }
    }
    int status = probe(parseOptions(argc, argv));
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      throw std::runtime_error("cannot write to standard output");
    }
    return status;
  } catch (const UsageError &error) {
    std::fprintf(stderr, "grevolt-probe: %s\nTry 'grevolt-probe --help'.\n", error.what());
    return 2;
  } catch (const std::exception &error) {
    std::fflush(stdout);
    std::fprintf(stderr, "grevolt-probe: %s\n", error.what());
    return 1;
  }
}
