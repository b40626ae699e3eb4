// The kinds of frames of the protocol, each defined once: its tag, its name
// in messages, and its items in order.  put() writes a frame of a kind and
// get() reads one, both from the same list of members, so the two sides of
// a connection cannot disagree on the order of a frame's items.  A FrameSet
// names the kinds that one stream may carry (a commit request, an answer)
// and decodes a frame into the kind its tag names.  See PROTOCOL.md.
#ifndef OSTREL_WIRE_FRAMES_H
#define OSTREL_WIRE_FRAMES_H

#include <string>
#include <tuple>

#include "wire.h"

namespace ostrel_wire {

// The three kinds of items: a number (decimal text), a present item, and an
// item that may be absent.  Str and Opt are views: into the decoder's buffer
// after get(), into the caller's data for put().
using Num = long long;
using Str = std::string_view;
using Opt = std::optional<std::string_view>;

// The protocol version this build speaks; the first frame of every stream
// is frame::Version carrying it (check_version() in answers.h checks it).
inline constexpr Num kProtocolVersion = 1;

namespace frame {

// Each kind: kTag, kName, its items as members, and items() listing them in
// the order they travel.

struct Version {
  static constexpr char kTag = 'V';
  static constexpr const char *kName = "version";
  Num version = kProtocolVersion;
  static constexpr auto items() { return std::tuple{&Version::version}; }
};

// ---- The commit request: one frame per editor call ----

// A revision property of the commit (before OpenRoot); also one of a log
// entry's revision properties in a log answer.
struct Revprop {
  static constexpr char kTag = 'P';
  static constexpr const char *kName = "revision property";
  Str name, value;
  static constexpr auto items() { return std::tuple{&Revprop::name, &Revprop::value}; }
};

struct OpenRoot {
  static constexpr char kTag = 'R';
  static constexpr const char *kName = "open_root_dir";
  Num id = 0, base_rev = -1;
  static constexpr auto items() { return std::tuple{&OpenRoot::id, &OpenRoot::base_rev}; }
};

struct Delete {
  static constexpr char kTag = 'D';
  static constexpr const char *kName = "remove_entry";
  Num parent = 0;
  Str path;
  Num rev = -1;
  static constexpr auto items() { return std::tuple{&Delete::parent, &Delete::path, &Delete::rev}; }
};

// add_dir and add_file_node.  COPY_PATH is the copy source's URL-escaped
// path from the repository's root ("/trunk/a"), never a URL.
struct AddNode {
  Num parent = 0;
  Str path;
  Opt copy_path;
  Num copy_rev = -1;
  Num id = 0;
  static constexpr auto items() {
    return std::tuple{&AddNode::parent, &AddNode::path, &AddNode::copy_path, &AddNode::copy_rev,
                      &AddNode::id};
  }
};
struct AddDir : AddNode {
  static constexpr char kTag = 'd';
  static constexpr const char *kName = "add_dir";
};
struct AddFile : AddNode {
  static constexpr char kTag = 'f';
  static constexpr const char *kName = "add_file_node";
};

// open_dir and open_file_node.
struct OpenNode {
  Num parent = 0;
  Str path;
  Num base_rev = -1;
  Num id = 0;
  static constexpr auto items() {
    return std::tuple{&OpenNode::parent, &OpenNode::path, &OpenNode::base_rev, &OpenNode::id};
  }
};
struct OpenDir : OpenNode {
  static constexpr char kTag = 'o';
  static constexpr const char *kName = "open_dir";
};
struct OpenFile : OpenNode {
  static constexpr char kTag = 'g';
  static constexpr const char *kName = "open_file_node";
};

// set_dir_prop or set_file_prop, after the node's kind; absent VALUE deletes.
struct Prop {
  static constexpr char kTag = 'p';
  static constexpr const char *kName = "change property";
  Num id = 0;
  Str name;
  Opt value;
  static constexpr auto items() { return std::tuple{&Prop::id, &Prop::name, &Prop::value}; }
};

struct CloseDir {
  static constexpr char kTag = 'c';
  static constexpr const char *kName = "close_dir";
  Num id = 0;
  static constexpr auto items() { return std::tuple{&CloseDir::id}; }
};

struct CloseFile {
  static constexpr char kTag = 'C';
  static constexpr const char *kName = "close_file_node";
  Num id = 0;
  Opt checksum;
  static constexpr auto items() { return std::tuple{&CloseFile::id, &CloseFile::checksum}; }
};

struct ApplyText {
  static constexpr char kTag = 't';
  static constexpr const char *kName = "apply_text_delta";
  Num id = 0;
  Opt base_checksum;
  static constexpr auto items() { return std::tuple{&ApplyText::id, &ApplyText::base_checksum}; }
};

// One window of the text of file ID.
struct Window {
  static constexpr char kTag = 'w';
  static constexpr const char *kName = "text window";
  Num id = 0, offset = 0;
  Str data;
  static constexpr auto items() { return std::tuple{&Window::id, &Window::offset, &Window::data}; }
};

// The end of the text of file ID (the window handler's NULL window).
struct TextEnd {
  static constexpr char kTag = 'e';
  static constexpr const char *kName = "end of text";
  Num id = 0;
  static constexpr auto items() { return std::tuple{&TextEnd::id}; }
};

struct Finish {
  static constexpr char kTag = 'F';
  static constexpr const char *kName = "finish_edit";
  static constexpr auto items() { return std::tuple{}; }
};

// ---- Answers ----

// One link of an error chain (outermost first).
struct Error {
  static constexpr char kTag = 'E';
  static constexpr const char *kName = "error";
  Num code = 0;
  Str message;
  static constexpr auto items() { return std::tuple{&Error::code, &Error::message}; }
};

// The commit made revision REV.
struct Committed {
  static constexpr char kTag = 'K';
  static constexpr const char *kName = "committed";
  Num rev = -1;
  Str date;
  Opt author;
  static constexpr auto items() {
    return std::tuple{&Committed::rev, &Committed::date, &Committed::author};
  }
};

// After Committed: the post-commit hook failed (the revision exists).
struct Warning {
  static constexpr char kTag = 'W';
  static constexpr const char *kName = "warning";
  Str message;
  static constexpr auto items() { return std::tuple{&Warning::message}; }
};

// The repository's root path, URL-escaped ("/NAME").
struct ReposRoot {
  static constexpr char kTag = 'r';
  static constexpr const char *kName = "repository root";
  Str path;
  static constexpr auto items() { return std::tuple{&ReposRoot::path}; }
};

// A revision: the youngest (discover, youngest) or the one read (reading).
struct Revision {
  static constexpr char kTag = 'y';
  static constexpr const char *kName = "revision";
  Num rev = -1;
  static constexpr auto items() { return std::tuple{&Revision::rev}; }
};

struct Capability {
  static constexpr char kTag = 'a';
  static constexpr const char *kName = "capability";
  Str name;
  static constexpr auto items() { return std::tuple{&Capability::name}; }
};

// The kind of a node: "none", "file" or "dir" (kind_word()).
struct NodeKind {
  static constexpr char kTag = 'k';
  static constexpr const char *kName = "node kind";
  Str kind;
  static constexpr auto items() { return std::tuple{&NodeKind::kind}; }
};

// An entry of a directory: its name and kind.
struct Entry {
  static constexpr char kTag = 'i';
  static constexpr const char *kName = "directory entry";
  Str name, kind;
  static constexpr auto items() { return std::tuple{&Entry::name, &Entry::kind}; }
};

// ---- Read answers ----

struct ListEntry {
  static constexpr char kTag = 'l';
  static constexpr const char *kName = "listing entry";
  Str relpath, kind;
  Num size = 0, created_rev = -1;
  Opt author, date;
  static constexpr auto items() {
    return std::tuple{&ListEntry::relpath,     &ListEntry::kind,   &ListEntry::size,
                      &ListEntry::created_rev, &ListEntry::author, &ListEntry::date};
  }
};

struct NodeProp {
  static constexpr char kTag = 'q';
  static constexpr const char *kName = "node property";
  Str name, value;
  static constexpr auto items() { return std::tuple{&NodeProp::name, &NodeProp::value}; }
};

// A piece of a file's contents, in order.
struct Data {
  static constexpr char kTag = 'x';
  static constexpr const char *kName = "contents";
  Str bytes;
  static constexpr auto items() { return std::tuple{&Data::bytes}; }
};

// A log entry; its Revprop and Changed frames follow.
struct LogEntry {
  static constexpr char kTag = 'L';
  static constexpr const char *kName = "log entry";
  Num rev = -1;
  static constexpr auto items() { return std::tuple{&LogEntry::rev}; }
};

// A changed path of a log entry; ACTION is one of "M", "A", "D", "R".
struct Changed {
  static constexpr char kTag = 'h';
  static constexpr const char *kName = "changed path";
  Str path, action, kind;
  Num text_mod = 0, prop_mod = 0;
  Opt copy_path;
  Num copy_rev = -1;
  static constexpr auto items() {
    return std::tuple{&Changed::path,     &Changed::action,   &Changed::kind,
                      &Changed::text_mod, &Changed::prop_mod, &Changed::copy_path,
                      &Changed::copy_rev};
  }
};

// The read answer is complete.
struct End {
  static constexpr char kTag = 'Z';
  static constexpr const char *kName = "end";
  static constexpr auto items() { return std::tuple{}; }
};

}  // namespace frame

// ---- Writing and reading one frame ----

namespace detail {

inline void put_item(Encoder &enc, Num value) {
  enc.num(value);
}
inline void put_item(Encoder &enc, Str value) {
  enc.str(value);
}
inline void put_item(Encoder &enc, const Opt &value) {
  if (value)
    enc.str(*value);
  else
    enc.absent();
}

// "" when ITEM (the INDEX-th, from 0, of a frame of kind NAME) fits OUT.
std::string get_item(const Opt &item, Num &out, const char *name, std::size_t index);
std::string get_item(const Opt &item, Str &out, const char *name, std::size_t index);
std::string get_item(const Opt &item, Opt &out, const char *name, std::size_t index);
std::string item_count_mismatch(const char *name, std::size_t got, std::size_t want);
std::string unexpected_tag(char tag);

}  // namespace detail

// Appends frame F to OUT.
template <typename F>
void put(std::string &out, const F &f) {
  Encoder enc(out);
  enc.begin(F::kTag);
  std::apply([&](auto... member) { (detail::put_item(enc, f.*member), ...); }, F::items());
  enc.end();
}

// Reads FRAME (whose tag is F::kTag) into F.  Returns "" when its items are
// those of the kind, else what is wrong ("close_dir frame lacks item 1");
// F's views point into FRAME's buffer.
template <typename F>
std::string get(const Frame &frame, F &f) {
  constexpr std::size_t want = std::tuple_size_v<decltype(F::items())>;
  if (frame.items.size() != want)
    return detail::item_count_mismatch(F::kName, frame.items.size(), want);
  std::string why;
  std::size_t i = 0;
  std::apply(
      [&](auto... member) {
        ((why.empty() ? (void)(why = detail::get_item(frame.items[i], f.*member, F::kName, i))
                      : (void)0,
          ++i),
         ...);
      },
      F::items());
  return why;
}

// The kinds of frames one stream may carry.
template <typename... F>
struct FrameSet {
  // The name of the kind of TAG, or nullptr when the set has none.
  static const char *name(char tag) {
    const char *found = nullptr;
    ((tag == F::kTag ? (void)(found = F::kName) : (void)0), ...);
    return found;
  }

  // Reads FRAME as the kind its tag names and hands it to ON_FRAME (a
  // callable taking each kind of the set).  Returns "" when it did, else what
  // is wrong (a tag the set does not have, or items that do not fit); then
  // ON_FRAME is not called.
  template <typename OnFrame>
  static std::string decode(const Frame &frame, OnFrame &&on_frame) {
    std::string why = detail::unexpected_tag(frame.tag);
    bool matched = false;
    ((!matched && frame.tag == F::kTag ? (void)(matched = true, why = decode_as<F>(frame, on_frame))
                                       : (void)0),
     ...);
    return why;
  }

  // "" when FRAME is a frame of the set with its items, else what is wrong.
  static std::string check(const Frame &frame) {
    return decode(frame, [](const auto &) {});
  }

 private:
  template <typename K, typename OnFrame>
  static std::string decode_as(const Frame &frame, OnFrame &on_frame) {
    K k;
    std::string why = get(frame, k);
    if (why.empty()) on_frame(k);
    return why;
  }
};

// A commit request, after its version frame.
using CommitRequestFrames =
    FrameSet<frame::Revprop, frame::OpenRoot, frame::Delete, frame::AddDir, frame::OpenDir,
             frame::AddFile, frame::OpenFile, frame::Prop, frame::CloseDir, frame::CloseFile,
             frame::ApplyText, frame::Window, frame::TextEnd, frame::Finish>;

// The content of answers, after the version frame; error frames may come in
// every answer and are not part of these sets.
using CommitAnswerFrames = FrameSet<frame::Committed, frame::Warning>;
using DiscoverAnswerFrames = FrameSet<frame::ReposRoot, frame::Revision, frame::Capability>;
using NodeAnswerFrames = FrameSet<frame::NodeKind, frame::Entry>;
using ReadAnswerFrames = FrameSet<frame::Revision, frame::ListEntry, frame::NodeProp, frame::Data,
                                  frame::LogEntry, frame::Revprop, frame::Changed, frame::End>;

}  // namespace ostrel_wire

#endif  // OSTREL_WIRE_FRAMES_H
