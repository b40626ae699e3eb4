// The sending side of a commit: a commit editor whose every call becomes
// frames (frames.h, CommitRequestFrames) handed to a sink, in the order of
// the calls.  The http access module hands in a sink that streams them in
// one request; replayer.h drives an editor from them on the other side.
//
// Contract:
//  1. Calls are not checked against a repository here: the replaying side's
//     editor does that.  What is checked here is what the frames cannot say:
//     no call after finish_edit or cancel_edit, open_root_dir once and
//     first, and copy sources inside the repository at REPOS_ROOT_URL.
//  2. Batons travel as numbers chosen here (1, 2, ...), each named by the
//     frame that opens its node.
//  3. The first write is the version frame, then the revision properties,
//     then open_root_dir's frame; finish_edit writes the finish frame and
//     then calls the sink's finish, whose result it returns.  cancel_edit
//     after the first write calls the sink's cancel.
//  4. An error of the sink is returned by the editor call that wrote; the
//     caller then cancels, as after any failed call.
#ifndef OSTREL_WIRE_COMMIT_ENCODER_H
#define OSTREL_WIRE_COMMIT_ENCODER_H

#include <apr_hash.h>
#include <apr_pools.h>

#include <cstddef>

#include "ostrel_delta.h"

namespace ostrel_wire {

// Where the encoder's frames go.
struct CommitSink {
  // Takes LEN bytes of whole frames (the data is lent for the call).
  ostrel_error *(*write)(void *baton, const char *data, std::size_t len);
  // The drive is complete: the finish frame has been written.  Makes the
  // commit happen and reports it; its error is finish_edit's.
  ostrel_error *(*finish)(void *baton, apr_pool_t *pool);
  // The drive is abandoned after something was written.
  void (*cancel)(void *baton);
  void *baton;
};

// Returns in *EDITOR and *EDIT_BATON (allocated in POOL) an editor that
// writes each call to SINK.  REVPROPS (const char * -> ostrel_string *, may
// be null) are sent before open_root_dir; REPOS_ROOT_URL is the canonical
// URL of the repository's root, against which copy URLs become paths.
void get_commit_encoder(const ostrel_commit_editor **editor, void **edit_baton,
                        const char *repos_root_url, apr_hash_t *revprops, const CommitSink &sink,
                        apr_pool_t *pool);

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_COMMIT_ENCODER_H
