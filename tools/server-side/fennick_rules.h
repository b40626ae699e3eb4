/* fennick_rules.h: which changed paths fennick counts. */
#ifndef OSTREL_TOOLS_FENNICK_RULES_H
#define OSTREL_TOOLS_FENNICK_RULES_H

#include "ostrel_fs.h"

/* Whether a changed path begins a new line of history: an add or a replace
 * without a valid copy source (no copy-source path, or a negative copy-source
 * revision).  Modifications and deletions never do. */
inline bool fennick_starts_new_line(const ostrel_path_change *change) {
  if (change->change_kind != ostrel_fs_path_change_add &&
      change->change_kind != ostrel_fs_path_change_replace)
    return false;
  return change->copyfrom_path == nullptr || change->copyfrom_rev < 0;
}

#endif /* OSTREL_TOOLS_FENNICK_RULES_H */
