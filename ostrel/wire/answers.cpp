// The version frame, error chains and whole answers: see answers.h.

#include "answers.h"

#include <string>

#include "ostrel_path.h"

namespace ostrel_wire {

// ---- The version frame ----

void put_version(std::string &out) {
  put(out, frame::Version{});
}

VersionCheck check_version(const Frame &first) {
  frame::Version version;
  if (first.tag != frame::Version::kTag || !get(first, version).empty())
    return VersionCheck::not_a_version_frame;
  return version.version == kProtocolVersion ? VersionCheck::ok : VersionCheck::other_version;
}

std::string version_problem(VersionCheck check) {
  const std::string version = std::to_string(kProtocolVersion);
  switch (check) {
    case VersionCheck::ok:
      return "";
    case VersionCheck::not_a_version_frame:
      return "it does not start with protocol version " + version;
    case VersionCheck::other_version:
      return "it is of another protocol version than " + version;
  }
  return "";
}

// ---- Error chains ----

void put_error_chain(std::string &out, const ostrel_error *err, std::string_view local_url,
                     std::string_view shown_url) {
  for (const ostrel_error *link = err; link; link = link->child) {
    char buf[256];
    std::string message =
        link->message ? link->message : ostrel_strerror(link->apr_err, buf, sizeof buf);
    if (!local_url.empty())
      for (std::size_t at = 0; (at = message.find(local_url, at)) != std::string::npos;
           at += shown_url.size())
        message.replace(at, local_url.size(), shown_url);
    put(out, frame::Error{link->apr_err, message});
  }
}

ostrel_error *error_from_links(const std::vector<ErrorLink> &links) {
  ostrel_error *err = nullptr;
  for (auto it = links.rbegin(); it != links.rend(); ++it)
    err = ostrel_error_create(static_cast<apr_status_t>(it->code), err, it->message.c_str());
  return err;
}

// ---- Node kinds ----

const char *kind_word(ostrel_node_kind kind) {
  return kind == ostrel_node_dir ? "dir" : kind == ostrel_node_file ? "file" : "none";
}

bool parse_kind_word(std::string_view word, ostrel_node_kind &kind) {
  for (ostrel_node_kind k : {ostrel_node_none, ostrel_node_file, ostrel_node_dir})
    if (word == kind_word(k)) {
      kind = k;
      return true;
    }
  return false;
}

// ---- Client errors ----

ostrel_error *malformed_answer(const char *url, std::string_view why) {
  std::string reason(why);
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                              "Malformed answer from the server at URL '%s': %s", url,
                              reason.c_str());
}

ostrel_error *other_version_answer(const char *url) {
  return ostrel_error_createf(OSTREL_ERR_RA_BAD_ANSWER, nullptr,
                              "The server at URL '%s' speaks another version of the repository "
                              "protocol",
                              url);
}

namespace {

// Reads BODY, a whole answer: its version frame, then frames of SET, each
// handed to ON_FRAME (which returns "" or what is wrong), with error frames
// gathered into a chain; then COMPLETE says what is missing ("" for
// nothing).  Returns the chain, or the error about a malformed BODY, or
// nullptr.
template <typename Set, typename OnFrame, typename Complete>
ostrel_error *read_whole(std::string_view body, const char *url, OnFrame &&on_frame,
                         Complete &&complete) {
  Decoder decoder(body.size() + 16);
  decoder.feed(body.data(), body.size());
  Frame f;
  Status status;
  bool versioned = false;
  std::vector<ErrorLink> links;
  while ((status = decoder.next(f)) == Status::frame) {
    if (!versioned) {
      VersionCheck check = check_version(f);
      if (check == VersionCheck::other_version) return other_version_answer(url);
      if (check != VersionCheck::ok) return malformed_answer(url, version_problem(check));
      versioned = true;
      continue;
    }
    std::string why;
    if (f.tag == frame::Error::kTag) {
      frame::Error link;
      why = get(f, link);
      if (why.empty()) links.push_back(ErrorLink{link.code, std::string(link.message)});
    } else if (links.empty()) {
      std::string verdict;
      why = Set::decode(f, [&](const auto &kind) { verdict = on_frame(kind); });
      if (why.empty()) why = std::move(verdict);
    } else {
      why = "a frame follows the error chain";
    }
    if (!why.empty()) return malformed_answer(url, why);
  }
  if (status == Status::error) return malformed_answer(url, decoder.error());
  if (!decoder.at_boundary()) return malformed_answer(url, "the answer ends inside a frame");
  if (!versioned) return malformed_answer(url, "the answer is empty");
  if (!links.empty()) return error_from_links(links);
  std::string missing = complete();
  if (!missing.empty()) return malformed_answer(url, missing);
  return nullptr;
}

// True when NAME is one segment of a path ("a", not "a/b", "..", "").
bool is_segment(const std::string &name) {
  ostrel_error *err = name.empty() ? nullptr : ostrel_relpath_check_child("", name.c_str());
  bool ok = !name.empty() && !err;
  ostrel_error_clear(err);
  return ok;
}

// A frame that the answer has already had, or that comes too early.
std::string misplaced(const char *name) {
  return std::string(name) + " frame out of place";
}

}  // namespace

// ---- op=discover ----

std::string encode_answer(const DiscoverAnswer &answer) {
  std::string out;
  put_version(out);
  put(out, frame::ReposRoot{answer.root_path});
  put(out, frame::Revision{answer.youngest});
  for (const std::string &name : answer.capabilities) put(out, frame::Capability{name});
  return out;
}

ostrel_error *decode_answer(DiscoverAnswer &answer, std::string_view body, const char *url) {
  bool have_root = false, have_youngest = false;
  struct OnFrame {
    DiscoverAnswer &answer;
    bool &have_root, &have_youngest;
    std::string operator()(const frame::ReposRoot &f) {
      if (have_root) return misplaced(f.kName);
      if (f.path.empty() || f.path[0] != '/') return "the repository root is not an absolute path";
      have_root = true;
      answer.root_path = f.path;
      return "";
    }
    std::string operator()(const frame::Revision &f) {
      if (have_youngest) return misplaced(f.kName);
      if (f.rev < 0) return "the youngest revision is negative";
      have_youngest = true;
      answer.youngest = f.rev;
      return "";
    }
    std::string operator()(const frame::Capability &f) {
      answer.capabilities.emplace_back(f.name);
      return "";
    }
  };
  return read_whole<DiscoverAnswerFrames>(body, url, OnFrame{answer, have_root, have_youngest},
                                          [&]() -> std::string {
                                            if (!have_root)
                                              return "it does not name the repository's root";
                                            if (!have_youngest)
                                              return "it does not tell the youngest revision";
                                            return "";
                                          });
}

// ---- op=youngest ----

std::string encode_answer(const YoungestAnswer &answer) {
  std::string out;
  put_version(out);
  put(out, frame::Revision{answer.youngest});
  return out;
}

ostrel_error *decode_answer(YoungestAnswer &answer, std::string_view body, const char *url) {
  bool have = false;
  return read_whole<FrameSet<frame::Revision>>(
      body, url,
      [&](const frame::Revision &f) -> std::string {
        if (have) return misplaced(f.kName);
        if (f.rev < 0) return "the youngest revision is negative";
        have = true;
        answer.youngest = f.rev;
        return "";
      },
      [&]() -> std::string { return have ? "" : "it does not tell the youngest revision"; });
}

// ---- op=node ----

std::string encode_answer(const NodeAnswer &answer) {
  std::string out;
  put_version(out);
  put(out, frame::NodeKind{kind_word(answer.kind)});
  for (const auto &[name, kind] : answer.entries) put(out, frame::Entry{name, kind_word(kind)});
  return out;
}

ostrel_error *decode_answer(NodeAnswer &answer, std::string_view body, const char *url) {
  bool have_kind = false;
  struct OnFrame {
    NodeAnswer &answer;
    bool &have_kind;
    std::string operator()(const frame::NodeKind &f) {
      if (have_kind) return misplaced(f.kName);
      if (!parse_kind_word(f.kind, answer.kind)) return "unknown node kind";
      have_kind = true;
      return "";
    }
    std::string operator()(const frame::Entry &f) {
      if (!have_kind || answer.kind != ostrel_node_dir) return misplaced(f.kName);
      ostrel_node_kind kind;
      if (!parse_kind_word(f.kind, kind) || kind == ostrel_node_none) return "unknown node kind";
      // An entry's name is one segment of a path: the client joins it onto
      // paths of its own.
      std::string name(f.name);
      if (!is_segment(name)) return "a directory entry's name is not one path segment";
      answer.entries.emplace_back(std::move(name), kind);
      return "";
    }
  };
  return read_whole<NodeAnswerFrames>(body, url, OnFrame{answer, have_kind}, [&]() -> std::string {
    return have_kind ? "" : "it does not tell the node's kind";
  });
}

// ---- op=commit ----

std::string encode_answer(const CommitAnswer &answer) {
  std::string out;
  put_version(out);
  put(out, frame::Committed{answer.revision, answer.date,
                            answer.author ? Opt(*answer.author) : std::nullopt});
  if (answer.warning) put(out, frame::Warning{*answer.warning});
  return out;
}

std::string encode_refusal(const ostrel_error *err, std::string_view local_url,
                           std::string_view shown_url) {
  std::string out;
  put_version(out);
  put_error_chain(out, err, local_url, shown_url);
  return out;
}

ostrel_error *decode_answer(CommitAnswer &answer, std::string_view body, const char *url) {
  bool have = false;
  struct OnFrame {
    CommitAnswer &answer;
    bool &have;
    std::string operator()(const frame::Committed &f) {
      if (have) return misplaced(f.kName);
      // A commit makes a revision after the empty one.
      if (f.rev < 1) return "the new revision's number is not a revision a commit makes";
      have = true;
      answer.revision = f.rev;
      answer.date = f.date;
      if (f.author) answer.author = std::string(*f.author);
      return "";
    }
    std::string operator()(const frame::Warning &f) {
      if (!have || answer.warning) return misplaced(f.kName);
      answer.warning = std::string(f.message);
      return "";
    }
  };
  return read_whole<CommitAnswerFrames>(body, url, OnFrame{answer, have}, [&]() -> std::string {
    return have ? "" : "it does not say whether the commit was made";
  });
}

ostrel_error *decode_refusal(std::string_view body, const char *url) {
  return read_whole<FrameSet<>>(
      body, url, [](const auto &) -> std::string { return ""; },
      []() -> std::string { return ""; });
}

}  // namespace ostrel_wire
