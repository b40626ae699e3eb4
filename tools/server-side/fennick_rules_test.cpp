// The counting rule of fennick, including the case the repository library
// never produces (a copy-source path with a negative revision).

#include <gtest/gtest.h>

#include "fennick_rules.h"

TEST(FennickRules, OnlyAddsAndReplacesWithoutValidCopySourceStartALine) {
  struct Case {
    ostrel_fs_path_change_kind kind;
    const char *copyfrom_path;
    ostrel_revnum copyfrom_rev;
    bool counted;
  };
  const Case cases[] = {
      {ostrel_fs_path_change_add, nullptr, OSTREL_INVALID_REVNUM, true},
      {ostrel_fs_path_change_replace, nullptr, OSTREL_INVALID_REVNUM, true},
      {ostrel_fs_path_change_add, "/trunk", 3, false},
      {ostrel_fs_path_change_replace, "/trunk", 0, false},
      {ostrel_fs_path_change_add, "/trunk", -1, true},
      {ostrel_fs_path_change_replace, "/trunk", -7, true},
      {ostrel_fs_path_change_add, nullptr, 5, true},
      {ostrel_fs_path_change_modify, nullptr, OSTREL_INVALID_REVNUM, false},
      {ostrel_fs_path_change_delete, nullptr, OSTREL_INVALID_REVNUM, false},
      {ostrel_fs_path_change_modify, "/trunk", -1, false},
  };
  for (const Case &c : cases) {
    ostrel_path_change change{};
    change.change_kind = c.kind;
    change.copyfrom_path = c.copyfrom_path;
    change.copyfrom_rev = c.copyfrom_rev;
    EXPECT_EQ(fennick_starts_new_line(&change), c.counted)
        << "kind " << c.kind << " from " << (c.copyfrom_path ? c.copyfrom_path : "(none)") << "@"
        << c.copyfrom_rev;
  }
}
