// A reader of git export streams (as "git fast-export --show-original-ids
// --signed-tags=strip --reencode=yes" writes them), handing each command to
// a sink as it is read.  Data of blobs and inline files is streamed to the
// sink in pieces, never held whole; only commit and tag messages are held
// (up to kMaxMessage bytes).
//
// Accepted, per command:
//   blob / mark / original-oid / data N
//   commit REF / mark / original-oid / author / committer / data N /
//     from :MARK / merge :MARK (ignored: a merge is imported as its change
//     against its first parent) / M MODE (:MARK | inline) PATH / D PATH /
//     C SRC DST / R SRC DST / deleteall
//   reset REF [from :MARK]
//   tag NAME / mark / from :MARK / original-oid / tagger / data N
//   feature done, done, progress, checkpoint (ignored but for done)
// MODE is 100644, 644, 100755, 755 or 120000.  Paths are plain or quoted
// with C escapes.  Everything else (data <<DELIM, encoding, gpgsig,
// submodules (mode 160000 or a SHA instead of a mark), from/merge naming a
// commit id, notes, "ls", "cat-blob", "get-mark", unknown commands) is
// refused with OSTREL_ERR_GIT_STREAM naming the line.
#ifndef OSTREL_ADMIN_GIT_STREAM_H
#define OSTREL_ADMIN_GIT_STREAM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ostrel_error.h"

namespace ostrel_git {

inline constexpr size_t kMaxMessage = size_t{64} << 20;
inline constexpr size_t kMaxLine = size_t{1} << 20;

// Reads up to LEN bytes into BUF; *GOT 0 at the end of the input.
using ReadFn = std::function<ostrel_error *(char *buf, size_t len, size_t *got)>;

// The bytes of one data block, handed over piece by piece.
class Data {
 public:
  virtual ~Data() = default;
  uint64_t length() const { return length_; }
  // Reads the next piece into BUF (at most LEN bytes); *GOT 0 at the end.
  virtual ostrel_error *read(char *buf, size_t len, size_t *got) = 0;

 protected:
  uint64_t length_ = 0;
};

struct Ident {
  std::string name_email;  // "Name <email>"
  int64_t time = 0;        // seconds since the epoch
  std::string tz;          // "+0100"
};

struct CommitHead {
  std::string ref;
  uint64_t mark = 0;  // 0: none
  std::string original_oid;
  bool has_author = false;
  Ident author, committer;
  std::string message;
  uint64_t from = 0;  // 0: none given
  size_t line = 0;    // where the commit command was
};

enum class FileMode { regular, executable, symlink };

class Sink {
 public:
  virtual ~Sink() = default;
  virtual ostrel_error *blob(uint64_t mark, Data &data) = 0;
  // Called once the head of a commit (through its from/merge lines) is read.
  virtual ostrel_error *commit(const CommitHead &head) = 0;
  // File changes of the current commit.  DATA is null for a mark reference
  // (then MARK names a blob), else the inline data.
  virtual ostrel_error *modify(FileMode mode, uint64_t mark, Data *data,
                               const std::string &path) = 0;
  virtual ostrel_error *remove(const std::string &path) = 0;
  virtual ostrel_error *copy(const std::string &from, const std::string &to, bool rename) = 0;
  virtual ostrel_error *delete_all() = 0;
  virtual ostrel_error *commit_end() = 0;
  virtual ostrel_error *reset(const std::string &ref, uint64_t from) = 0;
  virtual ostrel_error *tag(const std::string &name, uint64_t from, const Ident &tagger,
                            const std::string &message) = 0;
};

// Reads the whole stream from READ into SINK.  An error of the sink is
// returned as it is; a fault of the stream as OSTREL_ERR_GIT_STREAM with
// the line number.  *LINE (may be null) receives the line reached.
ostrel_error *parse_stream(const ReadFn &read, Sink &sink, size_t *line = nullptr);

}  // namespace ostrel_git

#endif  // OSTREL_ADMIN_GIT_STREAM_H
