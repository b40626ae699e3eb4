#include "ostrel_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Prints CHAIN through ostrel_handle_error2 and returns what was written.
std::string printed(const ostrel_error *chain, const char *prefix) {
  char *data = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&data, &size);
  ostrel_handle_error2(chain, stream, false, prefix);
  std::fclose(stream);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(ErrorChain, PrintsOneLinePerLinkOutermostFirst) {
  ostrel_error *err = ostrel_error_create(OSTREL_ERR_BAD_PATH, nullptr, "inner");
  err = ostrel_error_quick_wrap(err, "outer");
  EXPECT_EQ(printed(err, "kelbrin: "), "kelbrin: outer\nkelbrin: inner\n");
  EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PATH) << "quick_wrap keeps the child's code";
  ostrel_error_clear(err);
}

TEST(ErrorChain, PrintingCases) {
  struct Case {
    const char *name;
    ostrel_error *chain;
    std::string expected;
  } cases[] = {
      {"message already ending in a line feed gets no second one",
       ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "'x' is not a URL\n"),
       "p: 'x' is not a URL\n"},
      {"a link without message prints its code's default message",
       ostrel_error_create(OSTREL_ERR_FS_NOT_FOUND, nullptr, nullptr), "p: Path not found\n"},
      {"a line equal to the one before is not repeated",
       ostrel_error_quick_wrap(ostrel_error_create(OSTREL_ERR_IO, nullptr, "same"), "same"),
       "p: same\n"},
      {"equal lines that are not neighbours both print",
       ostrel_error_quick_wrap(
           ostrel_error_quick_wrap(ostrel_error_create(OSTREL_ERR_IO, nullptr, "a"), "b"), "a"),
       "p: a\np: b\np: a\n"},
      {"formatted message", ostrel_error_createf(OSTREL_ERR_FS_NO_SUCH_REVISION, nullptr,
                                                 "No such revision %ld (youngest is %ld)", 7L, 3L),
       "p: No such revision 7 (youngest is 3)\n"},
  };
  for (Case &c : cases) {
    EXPECT_EQ(printed(c.chain, "p: "), c.expected) << c.name;
    ostrel_error_clear(c.chain);
  }
}

TEST(ErrorChain, NativeAndAprStatusesCarryTheSystemText) {
  ostrel_error *err = ostrel_error_from_errno(ENOENT, "Can't open file '%s'", "/x");
  EXPECT_EQ(printed(err, ""), "Can't open file '/x': No such file or directory\n");
  EXPECT_EQ(err->apr_err, ENOENT);
  ostrel_error_clear(err);

  err = ostrel_error_wrap_apr(APR_EBADF, "Can't open stdin");
  EXPECT_EQ(err->apr_err, APR_EBADF);
  EXPECT_EQ(std::string(err->message), "Can't open stdin: Bad file descriptor");
  ostrel_error_clear(err);
}

TEST(ErrorChain, ComposeKeepsBothAndFindsCauses) {
  EXPECT_EQ(ostrel_error_quick_wrap(nullptr, "x"), nullptr);
  ostrel_error *first = ostrel_error_create(OSTREL_ERR_FS_OUT_OF_DATE, nullptr, "first");
  ostrel_error *second = ostrel_error_create(OSTREL_ERR_IO, nullptr, "second");
  ostrel_error *both = ostrel_error_compose_create(first, second);
  EXPECT_EQ(both, first);
  EXPECT_EQ(ostrel_error_root_cause(both), second);
  EXPECT_EQ(ostrel_error_find_cause(both, OSTREL_ERR_IO), second);
  EXPECT_EQ(ostrel_error_find_cause(both, OSTREL_ERR_BAD_URL), nullptr);
  ostrel_error_clear(both);
}

TEST(ErrorChainDeathTest, MalfunctionNamesTheReasonAndAborts) {
  EXPECT_DEATH(OSTREL_ERR_MALFUNCTION("unknown action kind"),
               "internal malfunction: unknown action kind");
}

}  // namespace
