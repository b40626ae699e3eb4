// For tests and fuzz targets of the codec: a commit editor that writes each
// call it gets as one line of text, and refuses a call that names a node it
// did not open or that it closed already (so a replay that confuses its
// batons shows).  Not part of the library.
#ifndef OSTREL_WIRE_RECORDING_EDITOR_H
#define OSTREL_WIRE_RECORDING_EDITOR_H

#include <apr_hash.h>
#include <apr_pools.h>

#include <string>
#include <vector>

#include "ostrel_delta.h"

namespace ostrel_wire_test {

// Returns in *EDITOR and *EDIT_BATON (in POOL) an editor whose calls are
// appended to *LOG ("add_dir A/b from /x@3 in A", "window A/f 0 hello").
// REVPROPS, when not null, are logged first, in name order ("revprop
// ostrel:log=msg").  When FAIL_AT is not empty, the call whose line starts
// with it is refused (after being logged) with OSTREL_ERR_FS_OUT_OF_DATE.
void get_recording_editor(const ostrel_commit_editor **editor, void **edit_baton,
                          std::vector<std::string> *log, apr_hash_t *revprops, apr_pool_t *pool,
                          const std::string &fail_at = "");

}  // namespace ostrel_wire_test

#endif  // OSTREL_WIRE_RECORDING_EDITOR_H
