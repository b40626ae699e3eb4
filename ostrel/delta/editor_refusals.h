// The calls of ostrel_commit_editor that no commit makes (slots 0, 7 and
// 13, see ostrel_delta.h): every commit editor of the library puts these in
// those slots, so that each refuses them alike, with OSTREL_ERR_UNSUPPORTED.
// Not a public header.
#ifndef OSTREL_DELTA_EDITOR_REFUSALS_H
#define OSTREL_DELTA_EDITOR_REFUSALS_H

#include "ostrel_delta.h"

namespace ostrel_delta {

// set_target_rev: a commit makes the next revision.
ostrel_error *refuse_target_rev(void *edit_baton, ostrel_revnum target_revision, apr_pool_t *pool);

// mark_dir_absent and mark_file_absent.
ostrel_error *refuse_mark_absent(const char *path, void *parent_baton, apr_pool_t *pool);

}  // namespace ostrel_delta

#endif  // OSTREL_DELTA_EDITOR_REFUSALS_H
