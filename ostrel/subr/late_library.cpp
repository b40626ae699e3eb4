// Shared libraries opened on first use (late_library.h).

#include "late_library.h"

#include <dlfcn.h>

namespace ostrel {

ostrel_error *LateLibrary::load() {
  std::call_once(once_, [this] {
    void *handle = dlopen(file_, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char *why = dlerror();
      failure_ = why ? why : "no reason given";
      return;
    }
    if (const char *missing = bind_(handle)) failure_ = std::string("it has no function ") + missing;
  });
  if (failure_.empty()) return nullptr;
  return ostrel_error_createf(code_, nullptr, "Can't load %s '%s': %s", what_, file_,
                              failure_.c_str());
}

void *LateLibrary::find(void *handle, const char *name) { return dlsym(handle, name); }

}  // namespace ostrel
