// Error chains.  Links are allocated with the C++ heap, outside every APR pool,
// so that a chain survives the destruction of the pools of the code that made
// it; ostrel_error_clear() frees them.

#include "ostrel_error.h"

#include <apr_errno.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format.h"

namespace {

struct CodeText {
  apr_status_t code;
  const char *text;
};

#define OSTREL_ERRDEF_TABLE(name, number, text) {number, text},
const CodeText kCodeTexts[] = {OSTREL_ERROR_CODE_LIST(OSTREL_ERRDEF_TABLE)};
#undef OSTREL_ERRDEF_TABLE

using ostrel_subr::vformat;

char *copy_text(const char *text) {
  if (!text) return nullptr;
  size_t len = std::strlen(text);
  char *copy = new char[len + 1];
  std::memcpy(copy, text, len + 1);
  return copy;
}

ostrel_error *make_link(apr_status_t code, ostrel_error *child, const char *message) {
  auto *err = new ostrel_error;
  err->apr_err = code;
  err->message = copy_text(message);
  err->child = child;
  err->file = nullptr;
  err->line = 0;
  return err;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_error_create(apr_status_t code, ostrel_error *child, const char *message) {
  return make_link(code, child, message);
}

ostrel_error *ostrel_error_createf(apr_status_t code, ostrel_error *child, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  return make_link(code, child, text.c_str());
}

ostrel_error *ostrel_error_quick_wrap(ostrel_error *child, const char *message) {
  if (!child) return nullptr;
  return make_link(child->apr_err, child, message);
}

ostrel_error *ostrel_error_quick_wrapf(ostrel_error *child, const char *fmt, ...) {
  if (!child) return nullptr;
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  return make_link(child->apr_err, child, text.c_str());
}

ostrel_error *ostrel_error_wrap_apr(apr_status_t status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  char buf[256];
  apr_strerror(status, buf, sizeof buf);
  text += ": ";
  text += buf;
  return make_link(status, nullptr, text.c_str());
}

ostrel_error *ostrel_error_from_errno(int errnum, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  text += ": ";
  text += std::strerror(errnum);
  return make_link(errnum, nullptr, text.c_str());
}

void ostrel_error_clear(ostrel_error *err) {
  while (err) {
    ostrel_error *child = err->child;
    delete[] err->message;
    delete err;
    err = child;
  }
}

ostrel_error *ostrel_error_compose_create(ostrel_error *chain, ostrel_error *new_err) {
  if (!chain) return new_err;
  if (new_err) ostrel_error_root_cause(chain)->child = new_err;
  return chain;
}

ostrel_error *ostrel_error_root_cause(ostrel_error *err) {
  while (err && err->child) err = err->child;
  return err;
}

ostrel_error *ostrel_error_find_cause(ostrel_error *err, apr_status_t code) {
  for (; err; err = err->child)
    if (err->apr_err == code) return err;
  return nullptr;
}

const char *ostrel_strerror(apr_status_t code, char *buf, apr_size_t bufsize) {
  for (const CodeText &entry : kCodeTexts) {
    if (entry.code == code) {
      apr_cpystrn(buf, entry.text, bufsize);
      return buf;
    }
  }
  return apr_strerror(code, buf, bufsize);
}

const char *ostrel_error_text(const ostrel_error *err, char *buf, apr_size_t bufsize) {
  if (err->message) return err->message;
  return ostrel_strerror(err->apr_err, buf, bufsize);
}

void ostrel_handle_error2(const ostrel_error *err, FILE *stream, bool fatal, const char *prefix) {
  std::string previous;
  bool have_previous = false;
  for (; err; err = err->child) {
    char buf[256];
    std::string line = prefix ? prefix : "";
    line += ostrel_error_text(err, buf, sizeof buf);
    if (line.empty() || line.back() != '\n') line += '\n';
    if (have_previous && line == previous) continue;
    std::fputs(line.c_str(), stream);
    previous = std::move(line);
    have_previous = true;
  }
  std::fflush(stream);
  if (fatal) std::abort();
}

void ostrel_error__malfunction(const char *file, long line, const char *reason) {
  std::fprintf(stderr, "%s:%ld: internal malfunction: %s\n", file, line,
               reason ? reason : "(no reason given)");
  std::fflush(stderr);
  std::abort();
}

}  // extern "C"
