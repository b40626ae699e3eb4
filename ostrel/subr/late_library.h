/* late_library.h: a shared library opened on first use, not at start.
 *
 * Every program of the suite links the whole repository library, but most
 * runs touch only local repositories.  A client library that only some
 * repositories need (PostgreSQL's, the HTTP one), linked in, would make
 * every program load it and everything it needs at each start, which costs
 * more than a small commit does.  Such a library is opened with dlopen the
 * first time it is needed, and its functions are called through a table
 * its user fills from the opened library.
 *
 * The library stays loaded for the life of the process: handles made from
 * it may live until the end. */
#ifndef OSTREL_SUBR_LATE_LIBRARY_H
#define OSTREL_SUBR_LATE_LIBRARY_H

#include <mutex>
#include <string>

#include "ostrel_error.h"

/* The table of a late library's functions is made from a list macro, LIST(X)
 * calling X(name) for each function: struct T { LIST(OSTREL_LATE_MEMBER) };
 * holds a pointer of each function's own type, and a Bind function fills a
 * table T with LIST(OSTREL_LATE_FIND) followed by return nullptr. */
#define OSTREL_LATE_MEMBER(name) decltype(&::name) name = nullptr;
#define OSTREL_LATE_FIND(table, handle, name)                                             \
  if (!((table).name =                                                                    \
            reinterpret_cast<decltype(&::name)>(ostrel::LateLibrary::find(handle, #name)))) \
    return #name;

namespace ostrel {

class LateLibrary {
 public:
  /* Finds the symbols of the opened library HANDLE (through find()) and
   * fills the user's table; returns the name of the first one missing, or
   * nullptr when every one was found. */
  using Bind = const char *(*)(void *handle);

  /* WHAT names the library in messages ("PostgreSQL's client library");
   * FILE is the file its runtime package installs ("libpq.so.5"); a failure
   * to load it is an error of CODE. */
  LateLibrary(const char *what, const char *file, apr_status_t code, Bind bind)
      : what_(what), file_(file), code_(code), bind_(bind) {}
  LateLibrary(const LateLibrary &) = delete;
  LateLibrary &operator=(const LateLibrary &) = delete;

  /* Opens and binds the library once per process; later calls return at
   * once.  Fails, naming the library and the reason, when it is not
   * installed or lacks a function; every later call fails the same way. */
  ostrel_error *load();

  /* Symbol NAME of HANDLE, or nullptr. */
  static void *find(void *handle, const char *name);

 private:
  const char *what_;
  const char *file_;
  apr_status_t code_;
  Bind bind_;
  std::once_flag once_;
  std::string failure_;  // why loading failed; empty once loaded
};

}  // namespace ostrel

#endif /* OSTREL_SUBR_LATE_LIBRARY_H */
