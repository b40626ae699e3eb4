// What both sides say around the frames: the version frame, error chains,
// node kinds, and the answers that travel whole (discover, youngest, node,
// commit), each with its one encoder (for the server) and its one decoder
// (for the client).  Streamed read answers are checked by read_answer.h.
// See PROTOCOL.md.
#ifndef OSTREL_WIRE_ANSWERS_H
#define OSTREL_WIRE_ANSWERS_H

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frames.h"
#include "ostrel_error.h"
#include "ostrel_types.h"

namespace ostrel_wire {

// ---- The version frame ----

// Appends the version frame (kProtocolVersion) to OUT.
void put_version(std::string &out);

enum class VersionCheck { ok, not_a_version_frame, other_version };

// Checks FIRST, the first frame of a stream.
VersionCheck check_version(const Frame &first);

// What a failed check means, for messages ("it does not start with
// protocol version 1").
std::string version_problem(VersionCheck check);

// ---- Error chains ----

// One link of a chain: its code and message.
struct ErrorLink {
  Num code = 0;
  std::string message;
};

// Appends one frame::Error per link of ERR's chain, outermost first (nothing
// for a null ERR).  A link without a message gets its code's text.  Every
// LOCAL_URL in a message is shown as SHOWN_URL: clients see the repository
// under the URL they used, not the server's local paths.
void put_error_chain(std::string &out, const ostrel_error *err, std::string_view local_url = {},
                     std::string_view shown_url = {});

// The error chain of LINKS (outermost first), or nullptr when it is empty.
// The caller owns the result.
ostrel_error *error_from_links(const std::vector<ErrorLink> &links);

// ---- Node kinds ----

// "none", "file" or "dir".
const char *kind_word(ostrel_node_kind kind);
// The kind named WORD; false when WORD names none of the three.
bool parse_kind_word(std::string_view word, ostrel_node_kind &kind);

// ---- Answers that travel whole ----
//
// encode_answer() returns the whole body: the version frame, then the
// answer's frames.  decode_answer() reads BODY, a whole answer from the
// server at URL (named in errors), into ANSWER and returns nullptr; or the
// error chain the server sent instead; or an OSTREL_ERR_RA_BAD_ANSWER error
// when BODY is not a well-formed answer of its kind.

// op=discover.
struct DiscoverAnswer {
  std::string root_path;  // the repository's root path, URL-escaped ("/NAME")
  Num youngest = -1;
  std::vector<std::string> capabilities;
};

// op=youngest.
struct YoungestAnswer {
  Num youngest = -1;
};

// op=node: the kind of a node at a revision and, for a directory, its
// entries (names of one path segment).
struct NodeAnswer {
  ostrel_node_kind kind = ostrel_node_none;
  std::vector<std::pair<std::string, ostrel_node_kind>> entries;
};

// op=commit: the new revision.
struct CommitAnswer {
  Num revision = -1;
  std::string date;
  std::optional<std::string> author;
  std::optional<std::string> warning;  // the post-commit hook's failure
};

std::string encode_answer(const DiscoverAnswer &answer);
std::string encode_answer(const YoungestAnswer &answer);
std::string encode_answer(const NodeAnswer &answer);
std::string encode_answer(const CommitAnswer &answer);
// A refusal: the error chain of ERR (see put_error_chain).
std::string encode_refusal(const ostrel_error *err, std::string_view local_url = {},
                           std::string_view shown_url = {});

ostrel_error *decode_answer(DiscoverAnswer &answer, std::string_view body, const char *url);
ostrel_error *decode_answer(YoungestAnswer &answer, std::string_view body, const char *url);
ostrel_error *decode_answer(NodeAnswer &answer, std::string_view body, const char *url);
ostrel_error *decode_answer(CommitAnswer &answer, std::string_view body, const char *url);
// A body that should carry only an error chain (an answer of a status other
// than 200): the chain, an error when BODY is malformed, or nullptr when it
// is a well-formed answer that carries no chain.
ostrel_error *decode_refusal(std::string_view body, const char *url);

// The client's errors about an answer from the server at URL.
ostrel_error *malformed_answer(const char *url, std::string_view why);
ostrel_error *other_version_answer(const char *url);

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_ANSWERS_H
