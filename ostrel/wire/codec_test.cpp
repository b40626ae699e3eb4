// The codec both ways: drives sent through the commit encoder and replayed
// into a recording editor reach it exactly as they reach it directly;
// hostile commit requests are refused with a clear error and leave the
// editor cancelled; answers decode to what was encoded, and malformed ones
// are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "answers.h"
#include "commit_encoder.h"
#include "ostrel_pools.h"
#include "recording_editor.h"
#include "replayer.h"

namespace ostrel_wire {
namespace {

using ostrel_wire_test::get_recording_editor;
using Log = std::vector<std::string>;

constexpr const char *kRoot = "file:///repo";

// ---- Drives ----

// One editor call of a drive, applied to the innermost open node.
struct Step {
  enum Op {
    root,
    add_dir,
    add_file,
    open_dir,
    open_file,
    remove,
    prop,
    text,
    close,
    finish,
    abort
  };
  Op op;
  const char *path = nullptr;  // the node's path; the property's name; the base checksum
  const char *arg = nullptr;   // copy source below kRoot; property value; text; checksum
  long rev = -1;
  std::size_t len = 0;  // ARG's length when it holds NUL bytes
};

std::string arg_text(const Step &s) {
  return s.len ? std::string(s.arg, s.len) : s.arg;
}

// Drives EDITOR with STEPS; the first error is returned, after cancel_edit,
// as a caller would.
ostrel_error *drive(const ostrel_commit_editor *editor, void *edit, const std::vector<Step> &steps,
                    apr_pool_t *pool) {
  struct Open {
    void *baton;
    bool is_dir;
  };
  std::vector<Open> stack;
  auto run = [&](const Step &s) -> ostrel_error * {
    void *baton = nullptr;
    void *top = stack.empty() ? nullptr : stack.back().baton;
    std::string copy = s.arg ? std::string(kRoot) + s.arg : "";
    const char *copy_url = s.arg ? copy.c_str() : nullptr;
    switch (s.op) {
      case Step::root:
        OSTREL_ERR(editor->open_root_dir(edit, s.rev, pool, &baton));
        stack.push_back({baton, true});
        return OSTREL_NO_ERROR;
      case Step::add_dir:
      case Step::add_file: {
        bool dir = s.op == Step::add_dir;
        OSTREL_ERR((dir ? editor->add_dir : editor->add_file_node)(s.path, top, copy_url, s.rev,
                                                                   pool, &baton));
        stack.push_back({baton, dir});
        return OSTREL_NO_ERROR;
      }
      case Step::open_dir:
      case Step::open_file: {
        bool dir = s.op == Step::open_dir;
        OSTREL_ERR(
            (dir ? editor->open_dir : editor->open_file_node)(s.path, top, s.rev, pool, &baton));
        stack.push_back({baton, dir});
        return OSTREL_NO_ERROR;
      }
      case Step::remove:
        return editor->remove_entry(s.path, s.rev, top, pool);
      case Step::prop: {
        std::string value = s.arg ? arg_text(s) : "";
        ostrel_string *v =
            s.arg ? ostrel_string_ncreate(value.data(), value.size(), pool) : nullptr;
        return (stack.back().is_dir ? editor->set_dir_prop : editor->set_file_prop)(top, s.path, v,
                                                                                    pool);
      }
      case Step::text: {
        ostrel_txdelta_window_handler handler;
        void *handler_baton;
        OSTREL_ERR(editor->apply_text_delta(top, s.path, pool, &handler, &handler_baton));
        // Windows of at most four bytes, so that a text takes several.
        std::string text = arg_text(s);
        for (std::size_t at = 0; at < text.size(); at += 4) {
          ostrel_txdelta_window w{static_cast<ostrel_filesize>(at), text.data() + at,
                                  std::min<std::size_t>(4, text.size() - at)};
          OSTREL_ERR(handler(&w, handler_baton));
        }
        return handler(nullptr, handler_baton);
      }
      case Step::close: {
        Open node = stack.back();
        stack.pop_back();
        return node.is_dir ? editor->close_dir(node.baton, pool)
                           : editor->close_file_node(node.baton, s.arg, pool);
      }
      case Step::finish:
        return editor->finish_edit(edit, pool);
      case Step::abort:
        return editor->cancel_edit(edit, pool);
    }
    return OSTREL_NO_ERROR;
  };
  for (const Step &s : steps) {
    if (ostrel_error *err = run(s)) {
      ostrel_error_clear(editor->cancel_edit(edit, pool));
      return err;
    }
  }
  return OSTREL_NO_ERROR;
}

// Text with the error's code and its chain's messages, for comparisons.
std::string describe(ostrel_error *err) {
  std::string out;
  for (const ostrel_error *link = err; link; link = link->child)
    out += std::to_string(link->apr_err) + " " + (link->message ? link->message : "") + "; ";
  ostrel_error_clear(err);
  return out;
}

class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = ostrel_pool_create(nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }

  apr_hash_t *revprops(const std::vector<std::pair<const char *, std::string>> &props) {
    apr_hash_t *hash = apr_hash_make(pool_);
    for (const auto &[name, value] : props)
      apr_hash_set(hash, name, APR_HASH_KEY_STRING,
                   ostrel_string_ncreate(value.data(), value.size(), pool_));
    return hash;
  }

  // A replay target that records into LOG (FAIL_AT as the recording editor
  // takes it) and refuses every path below /secret.
  ReplayTarget target(Log *log, const std::string &fail_at = "") {
    ReplayTarget t;
    t.repos_root_url = kRoot;
    t.open_editor = [log, fail_at](const ostrel_commit_editor **editor, void **baton,
                                   apr_hash_t *props, apr_pool_t *pool) {
      get_recording_editor(editor, baton, log, props, pool, fail_at);
      return OSTREL_NO_ERROR;
    };
    t.check_access = [](const std::string &path, Access) -> std::string {
      return path.rfind("/secret", 0) == 0 ? "Access to '" + path + "' is refused" : "";
    };
    return t;
  }

  // Sends STEPS through the encoder; the bytes go to a replayer in pieces of
  // CHUNK bytes when the drive finishes or is abandoned.  Returns the drive's
  // error; *BYTES gets what was sent.
  std::string through_wire(Log *log, const std::vector<Step> &steps, apr_hash_t *props,
                           std::size_t chunk, std::string *bytes = nullptr,
                           const std::string &fail_at = "") {
    struct Wire {
      std::string bytes;
      Replayer replayer;
      std::size_t chunk;
      bool ended = false;
      void end() {
        if (ended) return;
        ended = true;
        for (std::size_t at = 0; at < bytes.size(); at += chunk)
          replayer.feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
        replayer.end_of_body();
      }
    } wire{"", Replayer(target(log, fail_at), 4096), chunk};
    CommitSink sink{[](void *b, const char *data, std::size_t len) -> ostrel_error * {
                      static_cast<Wire *>(b)->bytes.append(data, len);
                      return OSTREL_NO_ERROR;
                    },
                    [](void *b, apr_pool_t *) -> ostrel_error * {
                      auto *w = static_cast<Wire *>(b);
                      w->end();
                      const ostrel_error *err = w->replayer.error();
                      return err ? ostrel_error_create(err->apr_err, nullptr, err->message)
                                 : nullptr;
                    },
                    [](void *b) { static_cast<Wire *>(b)->end(); }, &wire};
    const ostrel_commit_editor *editor;
    void *edit;
    get_commit_encoder(&editor, &edit, kRoot, props, sink, pool_);
    std::string result = describe(drive(editor, edit, steps, pool_));
    // A drive that sent something but neither finished nor cancelled ends
    // like a dropped connection.
    if (!wire.bytes.empty()) wire.end();
    if (bytes) *bytes = wire.bytes;
    return result;
  }

  apr_pool_t *pool_ = nullptr;
};

using S = Step;

TEST_F(CodecTest, EveryDriveReachesTheEditorAsItWasSent) {
  static const char kBinary[] = "a\0b\xff\n";
  static const char kNul[] = "x\0y";
  struct Case {
    const char *name;
    std::vector<Step> steps;
    std::vector<std::pair<const char *, std::string>> props;
  };
  const Case cases[] = {
      {"empty commit", {{S::root, nullptr, nullptr, 3}, {S::close}, {S::finish}}, {}},
      {"revision properties, in name order",
       {{S::root}, {S::close}, {S::finish}},
       {{"ostrel:log", "fix"}, {"a:empty", ""}, {"z:binary", std::string(kBinary, 5)}}},
      {"nested directories and files with text",
       {{S::root, nullptr, nullptr, 7},
        {S::add_dir, "A"},
        {S::add_dir, "A/B"},
        {S::add_file, "A/B/f"},
        {S::text, nullptr, "hello, world: more than one window"},
        {S::close, nullptr, "0123abcd"},
        {S::close},
        {S::add_file, "A/g h"},
        {S::close},
        {S::close},
        {S::close},
        {S::finish}},
       {{"ostrel:log", "tree"}}},
      {"properties set and deleted, on directories and files",
       {{S::root},
        {S::prop, "dir:p", "v"},
        {S::open_dir, "A", nullptr, 4},
        {S::prop, "dir:gone", nullptr},
        {S::open_file, "A/f", nullptr, 4},
        {S::prop, "file:bin", kBinary, -1, 5},
        {S::prop, "file:gone", nullptr},
        {S::text, "base-sum", kNul, -1, 3},
        {S::close},
        {S::close},
        {S::close},
        {S::finish}},
       {}},
      {"deletes and copies with history",
       {{S::root, nullptr, nullptr, 9},
        {S::remove, "old", nullptr, 8},
        {S::remove, "older"},
        {S::add_dir, "copy", "/trunk/a%20b", 5},
        {S::add_file, "copy/f2", "/trunk/f", 6},
        {S::close},
        {S::close},
        {S::add_dir, "whole", "", 2},
        {S::close},
        {S::close},
        {S::finish}},
       {}},
      {"an empty text",
       {{S::root}, {S::add_file, "e"}, {S::text, nullptr, ""}, {S::close}, {S::close}, {S::finish}},
       {}},
      {"abandoned midway",
       {{S::root},
        {S::add_dir, "A"},
        {S::add_file, "A/f"},
        {S::text, nullptr, "partial"},
        {S::abort}},
       {}},
  };
  for (const Case &c : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 16}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(chunk));
      Log direct, replayed;
      const ostrel_commit_editor *editor;
      void *edit;
      get_recording_editor(&editor, &edit, &direct, revprops(c.props), pool_);
      EXPECT_EQ(describe(drive(editor, edit, c.steps, pool_)), "");
      EXPECT_EQ(through_wire(&replayed, c.steps, revprops(c.props), chunk), "");
      EXPECT_EQ(replayed, direct);
    }
  }
}

TEST_F(CodecTest, RefusalsOfTheReplayedEditorReachTheSender) {
  const std::vector<Step> steps = {{S::root},  {S::add_dir, "A"}, {S::close}, {S::add_dir, "B"},
                                   {S::close}, {S::close},        {S::finish}};
  Log log;
  std::string err = through_wire(&log, steps, nullptr, 5, nullptr, "add_dir B");
  EXPECT_EQ(err, std::to_string(OSTREL_ERR_FS_OUT_OF_DATE) + " refused: add_dir B in ''; ");
  EXPECT_EQ(log, (Log{"open_root_dir @-1", "add_dir A in ''", "close_dir A", "add_dir B in ''",
                      "cancel_edit"}));
}

TEST_F(CodecTest, PathsAndCopySourcesAreCheckedBeforeTheEditorSeesThem) {
  struct Case {
    const char *name;
    std::vector<Step> steps;
    const char *refused;
  };
  const Case cases[] = {
      {"a write",
       {{S::root}, {S::add_dir, "secret"}, {S::close}, {S::close}, {S::finish}},
       "/secret"},
      {"a delete", {{S::root}, {S::remove, "secret"}, {S::close}, {S::finish}}, "/secret"},
      {"a copy source",
       {{S::root}, {S::add_dir, "B", "/secret/x", 1}, {S::close}, {S::close}, {S::finish}},
       "/secret/x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Log log;
    std::string err = through_wire(&log, c.steps, nullptr, 64);
    EXPECT_EQ(err, std::to_string(OSTREL_ERR_RA_NOT_AUTHORIZED) + " Access to '" + c.refused +
                       "' is refused; ");
    EXPECT_EQ(log, (Log{"open_root_dir @-1", "cancel_edit"}));
  }
}

// ---- Hostile commit requests ----

template <typename... F>
std::string frames(const F &...f) {
  std::string out;
  (put(out, f), ...);
  return out;
}

frame::AddDir add_dir(Num parent, Str path, Num id, Opt copy = std::nullopt) {
  frame::AddDir f;
  f.parent = parent;
  f.path = path;
  f.copy_path = copy;
  f.copy_rev = copy ? 1 : -1;
  f.id = id;
  return f;
}

TEST_F(CodecTest, HostileRequestsAreRefusedAndLeaveNothingOpen) {
  const std::string v = frames(frame::Version{});
  const std::string root = v + frames(frame::OpenRoot{1, -1});
  frame::OpenFile file;
  file.parent = 1;
  file.path = "f";
  file.id = 2;
  struct Case {
    const char *name;
    std::string body;
    const char *message;  // contained in the error's message
    bool too_large = false;
  };
  const Case cases[] = {
      {"nothing at all", "", "the body ended before the commit was complete"},
      {"no finish frame", root + frames(frame::CloseDir{1}),
       "the body ended before the commit was complete"},
      {"cut inside a frame", (root + frames(frame::CloseDir{1}, frame::Finish{})).substr(0, 30),
       "the body ended before the commit was complete"},
      {"another version", frames(frame::Version{2}, frame::Finish{}),
       "it is of another protocol version than 1"},
      {"no version frame", frames(frame::OpenRoot{1, -1}),
       "it does not start with protocol version 1"},
      {"a frame larger than the limit", root + std::string("w\0\0\x20\0", 5),
       "frame of 8192 bytes is larger than the limit of 4096 bytes", true},
      {"a frame of an answer", root + frames(frame::Committed{1, "d", std::nullopt}),
       "unexpected frame of tag 'K'"},
      {"too few items", v + std::string("R\0\0\0\0", 5),
       "open_root_dir frame has 0 items; expected 2"},
      {"not a number", v + std::string("c\0\0\0\5\0\0\0\1x", 10),
       "close_dir frame: item 1 is not a number"},
      {"revision property without a value",
       v + std::string("P\0\0\0\x09\0\0\0\1n\xff\xff\xff\xff", 14),
       "revision property frame lacks item 2"},
      {"a node before open_root_dir", v + frames(add_dir(1, "A", 2)),
       "add_dir before open_root_dir"},
      {"a revision property after open_root_dir", root + frames(frame::Revprop{"n", "v"}),
       "revision property after open_root_dir"},
      {"open_root_dir twice", root + frames(frame::OpenRoot{5, -1}), "open_root_dir called twice"},
      {"a node that is not open", root + frames(frame::CloseDir{7}),
       "close_dir names no open node"},
      {"a number already in use", root + frames(add_dir(1, "A", 1)),
       "add_dir names a node that is already open"},
      {"a close of the other kind", root + frames(frame::CloseFile{1, std::nullopt}),
       "close_file_node names a directory"},
      {"text for a directory", root + frames(frame::ApplyText{1, std::nullopt}),
       "apply_text_delta names a directory"},
      {"a window without apply_text_delta", root + frames(file, frame::Window{2, 0, "x"}),
       "text window for a file without apply_text_delta"},
      {"a window at a negative offset",
       root + frames(file, frame::ApplyText{2, std::nullopt}, frame::Window{2, -4, "x"}),
       "text window at a negative offset"},
      {"a copy source that is not absolute", root + frames(add_dir(1, "A", 2, "trunk")),
       "copy source 'trunk' is not a path inside the repository"},
      {"a copy source that climbs out", root + frames(add_dir(1, "A", 2, "/a/%2E%2E/../x")),
       "is not a path inside the repository"},
      {"frames after finish_edit",
       root + frames(frame::CloseDir{1}, frame::Finish{}, frame::Finish{}),
       "frames after finish_edit"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Log log;
    {
      Replayer replayer(target(&log), 4096);
      replayer.feed(c.body.data(), c.body.size());
      replayer.end_of_body();
      ASSERT_TRUE(replayer.failed());
      EXPECT_TRUE(replayer.malformed());
      EXPECT_EQ(replayer.frame_too_large(), c.too_large);
      EXPECT_FALSE(replayer.finished());
      EXPECT_EQ(replayer.error()->apr_err, OSTREL_ERR_RA_BAD_REQUEST);
      EXPECT_NE(std::string(replayer.error()->message).find(c.message), std::string::npos)
          << replayer.error()->message;
    }
    // The editor, once given, never finished and was cancelled once.
    if (!log.empty()) {
      EXPECT_EQ(log.back(), "cancel_edit");
      EXPECT_EQ(std::count(log.begin(), log.end(), "cancel_edit"), 1);
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), "finish_edit"), 0);
  }
}

// ---- The encoder's own checks ----

TEST_F(CodecTest, TheEncoderRefusesWhatTheFramesCannotSay) {
  const ostrel_commit_editor *editor;
  void *edit;
  std::string sent;
  CommitSink sink{[](void *b, const char *data, std::size_t len) -> ostrel_error * {
                    static_cast<std::string *>(b)->append(data, len);
                    return OSTREL_NO_ERROR;
                  },
                  [](void *, apr_pool_t *) -> ostrel_error * { return OSTREL_NO_ERROR; },
                  [](void *) {}, &sent};
  get_commit_encoder(&editor, &edit, kRoot, nullptr, sink, pool_);
  void *root = nullptr, *child = nullptr;
  EXPECT_EQ(
      describe(editor->finish_edit(edit, pool_)),
      std::to_string(OSTREL_ERR_DELTA_BAD_CALL) + " finish_edit called before open_root_dir; ");
  EXPECT_TRUE(sent.empty()) << "nothing is sent before open_root_dir";
  ASSERT_EQ(editor->open_root_dir(edit, 1, pool_, &root), nullptr);
  EXPECT_EQ(describe(editor->open_root_dir(edit, 1, pool_, &root)),
            std::to_string(OSTREL_ERR_DELTA_BAD_CALL) + " open_root_dir called twice; ");
  EXPECT_EQ(describe(editor->add_dir("x", root, "file:///other/x", 1, pool_, &child)),
            std::to_string(OSTREL_ERR_RA_NOT_SAME_REPOSITORY) +
                " Copy source 'file:///other/x' of 'x' is not in the repository at '" + kRoot +
                "'; ");
  EXPECT_EQ(describe(editor->set_target_rev(edit, 5, pool_)),
            std::to_string(OSTREL_ERR_UNSUPPORTED) +
                " A commit makes the next revision; its number cannot be chosen; ");
  EXPECT_EQ(describe(editor->mark_dir_absent("gone", root, pool_)),
            std::to_string(OSTREL_ERR_UNSUPPORTED) + " A commit cannot mark 'gone' as absent; ");
  ASSERT_EQ(editor->cancel_edit(edit, pool_), nullptr);
  EXPECT_EQ(describe(editor->close_dir(root, pool_)),
            std::to_string(OSTREL_ERR_DELTA_BAD_CALL) + " close_dir called after cancel_edit; ");
}

// ---- Answers ----

TEST_F(CodecTest, AnswersDecodeToWhatWasEncoded) {
  DiscoverAnswer discover{"/my%20repo", 12, {"commit-stream", "later"}}, discovered;
  ASSERT_EQ(decode_answer(discovered, encode_answer(discover), "u"), nullptr);
  EXPECT_EQ(discovered.root_path, discover.root_path);
  EXPECT_EQ(discovered.youngest, 12);
  EXPECT_EQ(discovered.capabilities, discover.capabilities);

  YoungestAnswer youngest;
  ASSERT_EQ(decode_answer(youngest, encode_answer(YoungestAnswer{0}), "u"), nullptr);
  EXPECT_EQ(youngest.youngest, 0);

  NodeAnswer node{ostrel_node_dir, {{"a b", ostrel_node_file}, {"sub", ostrel_node_dir}}}, got;
  ASSERT_EQ(decode_answer(got, encode_answer(node), "u"), nullptr);
  EXPECT_EQ(got.kind, ostrel_node_dir);
  EXPECT_EQ(got.entries, node.entries);

  for (const CommitAnswer &commit :
       {CommitAnswer{3, "2026-12-10T00:00:00.000000Z", "ann", std::nullopt},
        CommitAnswer{4, "d", std::nullopt, "post-commit hook failed"}}) {
    CommitAnswer decoded;
    ASSERT_EQ(decode_answer(decoded, encode_answer(commit), "u"), nullptr);
    EXPECT_EQ(decoded.revision, commit.revision);
    EXPECT_EQ(decoded.date, commit.date);
    EXPECT_EQ(decoded.author, commit.author);
    EXPECT_EQ(decoded.warning, commit.warning);
  }
}

TEST_F(CodecTest, ErrorChainsTravelWholeWithTheClientsUrl) {
  ostrel_error *inner = ostrel_error_create(OSTREL_ERR_FS_OUT_OF_DATE, nullptr,
                                            "'file:///srv/repo/A' is out of date");
  ostrel_error *outer = ostrel_error_create(OSTREL_ERR_RA_NOT_AUTHORIZED, inner,
                                            "Commit to 'file:///srv/repo' failed");
  std::string body = encode_refusal(outer, "file:///srv/repo", "http://h/repo");
  ostrel_error_clear(outer);
  CommitAnswer answer;
  EXPECT_EQ(describe(decode_answer(answer, body, "u")),
            std::to_string(OSTREL_ERR_RA_NOT_AUTHORIZED) + " Commit to 'http://h/repo' failed; " +
                std::to_string(OSTREL_ERR_FS_OUT_OF_DATE) + " 'http://h/repo/A' is out of date; ");
  EXPECT_EQ(describe(decode_refusal(body, "u")), describe(decode_answer(answer, body, "u")));
  EXPECT_EQ(decode_refusal(encode_refusal(nullptr), "u"), nullptr);
}

TEST_F(CodecTest, MalformedAnswersAreRefused) {
  const std::string v = frames(frame::Version{});
  const std::string k = frames(frame::Committed{2, "d", std::nullopt});
  struct Case {
    const char *name;
    std::string body;
    const char *message;
  };
  const Case commit_cases[] = {
      {"another version", frames(frame::Version{2}) + k,
       "The server at URL 'u' speaks another version of the repository protocol"},
      {"no version", k, "it does not start with protocol version 1"},
      {"empty", "", "the answer is empty"},
      {"no revision", v, "it does not say whether the commit was made"},
      {"two revisions", v + k + k, "committed frame out of place"},
      {"a warning first", v + frames(frame::Warning{"w"}) + k, "warning frame out of place"},
      {"revision 0", v + frames(frame::Committed{0, "d", std::nullopt}),
       "the new revision's number is not a revision a commit makes"},
      {"a frame of another answer", v + frames(frame::Revision{2}), "unexpected frame of tag 'y'"},
      {"cut short", (v + k).substr(0, 12), "the answer ends inside a frame"},
      {"content after the chain", v + frames(frame::Error{1, "x"}) + k,
       "a frame follows the error chain"},
  };
  for (const Case &c : commit_cases) {
    SCOPED_TRACE(c.name);
    CommitAnswer answer;
    std::string err = describe(decode_answer(answer, c.body, "u"));
    EXPECT_NE(err.find(std::to_string(OSTREL_ERR_RA_BAD_ANSWER) + " "), std::string::npos) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  const Case node_cases[] = {
      {"no kind", v, "it does not tell the node's kind"},
      {"unknown kind", v + frames(frame::NodeKind{"link"}), "unknown node kind"},
      {"an entry of a file", v + frames(frame::NodeKind{"file"}, frame::Entry{"a", "file"}),
       "directory entry frame out of place"},
      {"an entry that is a path", v + frames(frame::NodeKind{"dir"}, frame::Entry{"a/b", "file"}),
       "is not one path segment"},
      {"an entry that climbs", v + frames(frame::NodeKind{"dir"}, frame::Entry{"..", "dir"}),
       "is not one path segment"},
      {"an entry of no kind", v + frames(frame::NodeKind{"dir"}, frame::Entry{"a", "none"}),
       "unknown node kind"},
  };
  for (const Case &c : node_cases) {
    SCOPED_TRACE(c.name);
    NodeAnswer answer;
    std::string err = describe(decode_answer(answer, c.body, "u"));
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  DiscoverAnswer discover;
  EXPECT_NE(describe(decode_answer(discover, v + frames(frame::Revision{1}), "u"))
                .find("it does not name the repository's root"),
            std::string::npos);
  EXPECT_NE(
      describe(decode_answer(discover, v + frames(frame::ReposRoot{"r"}, frame::Revision{1}), "u"))
          .find("the repository root is not an absolute path"),
      std::string::npos);
  YoungestAnswer youngest;
  EXPECT_NE(describe(decode_answer(youngest, v + frames(frame::Revision{-1}), "u"))
                .find("the youngest revision is negative"),
            std::string::npos);
}

}  // namespace
}  // namespace ostrel_wire
