// Loading PostgreSQL's client library on first use (pq_library.h).

#include "pq_library.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

namespace ostrel::fs::pg {

namespace {

// The library's file as its runtime package installs it.
constexpr const char *kFile = "libpq.so.5";

PqLibrary library;
std::string failure;  // why loading failed; empty once loaded
std::once_flag loaded;

void load_once() {
  // Never closed: connections in the pool live until the process ends.
  void *handle = dlopen(kFile, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char *why = dlerror();
    failure = why ? why : "no reason given";
    return;
  }
  PqLibrary found;
#define OSTREL_PQ_FIND(name)                                                    \
  found.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));       \
  if (!found.name) {                                                            \
    failure = std::string("it has no function ") + #name;                       \
    return;                                                                     \
  }
  OSTREL_PQ_FUNCTIONS(OSTREL_PQ_FIND)
#undef OSTREL_PQ_FIND
  library = found;
}

}  // namespace

ostrel_error *load() {
  std::call_once(loaded, load_once);
  if (failure.empty()) return nullptr;
  return ostrel_error_createf(OSTREL_ERR_FS_GENERAL, nullptr,
                              "Can't load PostgreSQL's client library '%s': %s", kFile,
                              failure.c_str());
}

const PqLibrary &pq() { return library; }

}  // namespace ostrel::fs::pg
