// The general spelling of the URL and path functions of ostrel_path.h.
//
// The public functions in path.cpp first try a short road for text that is
// already in the form they return (ASCII, nothing to escape or rewrite); when
// it does not apply, they return what these functions compute.  These are
// the reference: whatever the short road returns must equal what they
// return for the same input.  path_test.cpp and the path fuzz target hold
// the two against each other.  Inside the library only path.cpp calls them.
//
// Each takes the same input as the public function of the same name (see
// ostrel_path.h for what it must be) and returns the result as a string
// instead of pooled text.

#ifndef OSTREL_SUBR_PATH_REFERENCE_H
#define OSTREL_SUBR_PATH_REFERENCE_H

#include <optional>
#include <string>
#include <string_view>

#include "ostrel_error.h"

namespace ostrel_path_reference {

std::string uri_from_iri(std::string_view iri);
std::string uri_autoescape(std::string_view uri);
// REQUIRES: URL is a URL (ostrel_path_is_url).
std::string uri_canonicalize(std::string_view url);
std::string uri_dirname(std::string_view uri);
std::string uri_get_longest_ancestor(std::string_view uri1, std::string_view uri2);
// std::nullopt where ostrel_uri__is_child returns NULL.
std::optional<std::string> uri_is_child(std::string_view parent, std::string_view child);
std::string dirent_canonicalize(std::string_view dirent);
// Checks every '/'-separated segment of RELPATH as ostrel_relpath_check
// does; WHOLE is what the error names.
ostrel_error *path_check_segments(std::string_view relpath, std::string_view whole);
// REQUIRES: URL holds no NUL byte.  The error, or OSTREL_NO_ERROR.
ostrel_error *uri_check_names(const char *url);

}  // namespace ostrel_path_reference

#endif  // OSTREL_SUBR_PATH_REFERENCE_H
