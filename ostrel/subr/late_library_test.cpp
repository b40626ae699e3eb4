#include "late_library.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "ostrel_test_support.h"

namespace {

double (*found_cos)(double) = nullptr;

const char *bind_cos(void *handle) {
  found_cos = reinterpret_cast<double (*)(double)>(ostrel::LateLibrary::find(handle, "cos"));
  return found_cos ? nullptr : "cos";
}

const char *bind_missing(void *handle) {
  return ostrel::LateLibrary::find(handle, "no_such_function_here") ? nullptr
                                                                      : "no_such_function_here";
}

// The text and code of ERR's chain; clears ERR.
std::string take(ostrel_error *err, apr_status_t *code) {
  *code = err ? err->apr_err : 0;
  std::string text = ostrel_test::chain_text(err);
  if (err) ostrel_error_clear(err);
  return text;
}

TEST(LateLibrary, OpensOnceAndBindsItsFunctions) {
  ostrel::LateLibrary library("the maths library", "libm.so.6", OSTREL_ERR_UNSUPPORTED, bind_cos);
  apr_status_t code;
  EXPECT_EQ(take(library.load(), &code), "");
  ASSERT_NE(found_cos, nullptr);
  EXPECT_EQ(found_cos(0.0), 1.0);
  EXPECT_EQ(take(library.load(), &code), "");  // again: nothing to do
}

// A library that is not installed, or lacks a function, is an error that
// names it, the file and the reason, with the code its user gave; it stays
// one on every later call.
TEST(LateLibrary, AMissingLibraryOrFunctionIsAnErrorNamingIt) {
  struct Case {
    const char *file;
    ostrel::LateLibrary::Bind bind;
    const char *says;
  };
  const Case cases[] = {
      {"libostrel-not-installed.so.9", bind_cos, "libostrel-not-installed.so.9"},
      {"libm.so.6", bind_missing, "it has no function no_such_function_here"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    ostrel::LateLibrary library("the test library", c.file, OSTREL_ERR_RA_CONNECTION, c.bind);
    for (int call = 0; call < 2; ++call) {
      apr_status_t code;
      const std::string text = take(library.load(), &code);
      EXPECT_EQ(code, OSTREL_ERR_RA_CONNECTION);
      EXPECT_NE(text.find(std::string("Can't load the test library '") + c.file + "'"),
                std::string::npos)
          << text;
      EXPECT_NE(text.find(c.says), std::string::npos) << text;
    }
  }
}

}  // namespace
