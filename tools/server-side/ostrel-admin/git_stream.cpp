// The git export stream reader: one pass, a small buffer, data streamed.

#include "git_stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ostrel_error_codes.h"

namespace ostrel_git {
namespace {

class Input {
 public:
  explicit Input(const ReadFn &read) : read_(read), buf_(size_t{1} << 16) {}

  size_t line() const { return line_; }

  // The next line without its LF; *EOF at the end of the input.
  ostrel_error *next_line(std::string *out, bool *eof) {
    out->clear();
    *eof = false;
    while (true) {
      if (pos_ == end_) {
        OSTREL_ERR(fill());
        if (pos_ == end_) {
          if (out->empty()) {
            *eof = true;
            return nullptr;
          }
          return fault("the stream ends inside a line");
        }
      }
      const char *start = buf_.data() + pos_;
      const void *lf = std::memchr(start, '\n', end_ - pos_);
      size_t n = lf ? static_cast<const char *>(lf) - start : end_ - pos_;
      if (out->size() + n > kMaxLine) return fault("a line is longer than 1 MiB");
      out->append(start, n);
      pos_ += n;
      if (lf) {
        ++pos_;
        ++line_;
        return nullptr;
      }
    }
  }

  // Peeks whether the next byte is LF (and eats it when it is).
  ostrel_error *skip_lf() {
    if (pos_ == end_) OSTREL_ERR(fill());
    if (pos_ < end_ && buf_[pos_] == '\n') {
      ++pos_;
      ++line_;
    }
    return nullptr;
  }

  // Reads up to LEN of the next bytes (counting the lines they hold).
  ostrel_error *bytes(char *dst, size_t len, size_t *got) {
    *got = 0;
    if (pos_ == end_) OSTREL_ERR(fill());
    if (pos_ == end_) return nullptr;
    size_t n = std::min(len, end_ - pos_);
    std::memcpy(dst, buf_.data() + pos_, n);
    for (size_t i = 0; i < n; ++i) line_ += dst[i] == '\n';
    pos_ += n;
    *got = n;
    return nullptr;
  }

  ostrel_error *fault(const std::string &what) const {
    return ostrel_error_createf(OSTREL_ERR_GIT_STREAM, nullptr, "Line %zu of the git stream: %s",
                                line_ + 1, what.c_str());
  }

 private:
  ostrel_error *fill() {
    pos_ = end_ = 0;
    size_t got = 0;
    OSTREL_ERR(read_(buf_.data(), buf_.size(), &got));
    end_ = got;
    return nullptr;
  }

  const ReadFn &read_;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  size_t line_ = 0;  // complete lines read
};

class Block : public Data {
 public:
  Block(Input &in, uint64_t length) : in_(in) { length_ = left_ = length; }
  ostrel_error *read(char *buf, size_t len, size_t *got) override {
    *got = 0;
    if (!left_) return nullptr;
    size_t want = static_cast<size_t>(std::min<uint64_t>(len, left_));
    OSTREL_ERR(in_.bytes(buf, want, got));
    if (!*got) return in_.fault("the stream ends inside a data block");
    left_ -= *got;
    return nullptr;
  }
  // Reads what the sink left, and the optional LF after the block.
  ostrel_error *finish() {
    char buf[8192];
    while (left_) {
      size_t got;
      OSTREL_ERR(read(buf, sizeof buf, &got));
    }
    return in_.skip_lf();
  }

 private:
  Input &in_;
  uint64_t left_;
};

bool starts(const std::string &s, const char *prefix, std::string *rest = nullptr) {
  size_t n = std::strlen(prefix);
  if (s.compare(0, n, prefix) != 0) return false;
  if (rest) *rest = s.substr(n);
  return true;
}

bool parse_u64(const std::string &s, uint64_t *v) {
  if (s.empty() || s.size() > 19) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  *v = std::strtoull(s.c_str(), nullptr, 10);
  return true;
}

class Parser {
 public:
  Parser(const ReadFn &read, Sink &sink) : in_(read), sink_(sink) {}

  ostrel_error *run(size_t *line) {
    ostrel_error *err = loop();
    if (line) *line = in_.line();
    return err;
  }

 private:
  ostrel_error *loop() {
    bool eof;
    OSTREL_ERR(in_.next_line(&cur_, &eof));
    while (!eof) {
      if (cur_.empty()) {
        OSTREL_ERR(in_.next_line(&cur_, &eof));
        continue;
      }
      std::string rest;
      if (cur_ == "blob") {
        OSTREL_ERR(blob());
      } else if (starts(cur_, "commit ", &rest)) {
        OSTREL_ERR(commit(rest));
      } else if (starts(cur_, "reset ", &rest)) {
        OSTREL_ERR(reset(rest));
      } else if (starts(cur_, "tag ", &rest)) {
        OSTREL_ERR(tag(rest));
      } else if (cur_ == "done") {
        return nullptr;
      } else if (starts(cur_, "progress ") || cur_ == "checkpoint" || cur_ == "feature done") {
        OSTREL_ERR(next());
      } else {
        return unsupported();
      }
      if (pending_eof_) return nullptr;
    }
    return nullptr;
  }

  // Whether cur_ starts a command (which also ends a commit without its
  // blank line).
  bool command_word() const {
    return cur_ == "blob" || starts(cur_, "commit ") || starts(cur_, "reset ") ||
           starts(cur_, "tag ") || cur_ == "done" || starts(cur_, "progress ") ||
           cur_ == "checkpoint";
  }

  ostrel_error *unsupported() {
    std::string shown = cur_.substr(0, 60);
    return fault_here("'" + shown + "' is not a command this import accepts");
  }

  ostrel_error *fault_here(const std::string &what) {
    return ostrel_error_createf(OSTREL_ERR_GIT_STREAM, nullptr, "Line %zu of the git stream: %s",
                                in_.line(), what.c_str());
  }

  // Reads the next line into cur_; remembers the end of the input.
  ostrel_error *next() {
    bool eof;
    OSTREL_ERR(in_.next_line(&cur_, &eof));
    if (eof) {
      cur_.clear();
      pending_eof_ = true;
    }
    return nullptr;
  }

  ostrel_error *mark_line(uint64_t *mark) {
    std::string rest;
    *mark = 0;
    if (!starts(cur_, "mark :", &rest)) return nullptr;
    if (!parse_u64(rest, mark) || !*mark) return fault_here("bad mark '" + cur_ + "'");
    return next();
  }

  ostrel_error *oid_line(std::string *oid) {
    std::string rest;
    if (!starts(cur_, "original-oid ", &rest)) return nullptr;
    if (rest.size() < 40 || rest.find_first_not_of("0123456789abcdef") != std::string::npos)
      return fault_here("bad original-oid '" + cur_ + "'");
    *oid = rest;
    return next();
  }

  ostrel_error *data_length(uint64_t *length) {
    std::string rest;
    if (starts(cur_, "data <<"))
      return fault_here("delimited data (data <<) is not accepted; use counted data");
    if (!starts(cur_, "data ", &rest) || !parse_u64(rest, length))
      return fault_here(cur_.empty() ? "a data command was expected" : "bad data command '" +
                                                                             cur_.substr(0, 60) + "'");
    return nullptr;
  }

  // Reads a message block (the current line is its data command).
  ostrel_error *message(std::string *out) {
    uint64_t length;
    OSTREL_ERR(data_length(&length));
    if (length > kMaxMessage) return fault_here("a message is longer than 64 MiB");
    Block block(in_, length);
    out->resize(static_cast<size_t>(length));
    size_t done = 0;
    while (done < out->size()) {
      size_t got;
      OSTREL_ERR(block.read(out->data() + done, out->size() - done, &got));
      done += got;
    }
    OSTREL_ERR(block.finish());
    return next();
  }

  ostrel_error *ident(const char *word, Ident *id) {
    std::string rest;
    if (!starts(cur_, word, &rest)) return fault_here(std::string("a '") + word + "' line was expected");
    size_t gt = rest.rfind('>');
    if (gt == std::string::npos || rest.find('<') == std::string::npos)
      return fault_here("bad identity '" + cur_.substr(0, 60) + "'");
    id->name_email = rest.substr(0, gt + 1);
    std::string when = gt + 1 < rest.size() ? rest.substr(gt + 1) : "";
    if (!when.empty() && when[0] == ' ') when.erase(0, 1);
    size_t sp = when.find(' ');
    uint64_t t;
    if (sp == std::string::npos || !parse_u64(when.substr(0, sp), &t))
      return fault_here("bad date in '" + cur_.substr(0, 60) + "' (raw dates are accepted)");
    id->time = static_cast<int64_t>(t);
    id->tz = when.substr(sp + 1);
    return next();
  }

  ostrel_error *blob() {
    OSTREL_ERR(next());
    uint64_t mark;
    OSTREL_ERR(mark_line(&mark));
    std::string oid;
    OSTREL_ERR(oid_line(&oid));
    uint64_t length;
    OSTREL_ERR(data_length(&length));
    Block block(in_, length);
    OSTREL_ERR(sink_.blob(mark, block));
    OSTREL_ERR(block.finish());
    return next();
  }

  ostrel_error *from_mark(const std::string &rest, uint64_t *mark) {
    if (rest.size() < 2 || rest[0] != ':' || !parse_u64(rest.substr(1), mark) || !*mark)
      return fault_here("'" + cur_.substr(0, 60) +
                        "' names a commit by id; only marks (:N) are accepted");
    return nullptr;
  }

  // A path at the start of S (quoted, or up to a space when MORE follows,
  // else the whole of S); *REST what follows it.
  ostrel_error *path(const std::string &s, bool more, std::string *out, std::string *rest) {
    out->clear();
    if (s.empty()) return fault_here("a path is missing");
    if (s[0] != '"') {
      size_t sp = more ? s.find(' ') : std::string::npos;
      if (more && sp == std::string::npos) return fault_here("a second path is missing");
      *out = s.substr(0, sp);
      *rest = sp == std::string::npos ? "" : s.substr(sp + 1);
      return nullptr;
    }
    size_t i = 1;
    for (; i < s.size() && s[i] != '"'; ++i) {
      char c = s[i];
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (++i >= s.size()) break;
      c = s[i];
      switch (c) {
        case 'a': out->push_back('\a'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'v': out->push_back('\v'); break;
        case '"': case '\\': out->push_back(c); break;
        default:
          if (c >= '0' && c <= '3' && i + 2 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7' &&
              s[i + 2] >= '0' && s[i + 2] <= '7') {
            out->push_back(static_cast<char>(((c - '0') << 6) | ((s[i + 1] - '0') << 3) |
                                             (s[i + 2] - '0')));
            i += 2;
          } else {
            return fault_here("bad escape in a quoted path");
          }
      }
    }
    if (i >= s.size()) return fault_here("a quoted path does not end");
    std::string after = s.substr(i + 1);
    if (more) {
      if (after.empty() || after[0] != ' ') return fault_here("a second path is missing");
      *rest = after.substr(1);
    } else {
      if (!after.empty()) return fault_here("text after a quoted path");
      rest->clear();
    }
    return nullptr;
  }

  ostrel_error *file_command() {
    std::string rest;
    if (starts(cur_, "M ", &rest)) {
      size_t sp = rest.find(' ');
      std::string mode = rest.substr(0, sp);
      FileMode fm;
      if (mode == "100644" || mode == "644")
        fm = FileMode::regular;
      else if (mode == "100755" || mode == "755")
        fm = FileMode::executable;
      else if (mode == "120000")
        fm = FileMode::symlink;
      else if (mode == "160000")
        return fault_here("submodules (mode 160000) are not imported");
      else
        return fault_here("unknown file mode '" + mode + "'");
      if (sp == std::string::npos) return fault_here("bad file change '" + cur_.substr(0, 60) + "'");
      rest = rest.substr(sp + 1);
      sp = rest.find(' ');
      if (sp == std::string::npos) return fault_here("bad file change '" + cur_.substr(0, 60) + "'");
      std::string ref = rest.substr(0, sp), p, tail;
      OSTREL_ERR(path(rest.substr(sp + 1), false, &p, &tail));
      if (ref == "inline") {
        OSTREL_ERR(next());
        uint64_t length;
        OSTREL_ERR(data_length(&length));
        Block block(in_, length);
        OSTREL_ERR(sink_.modify(fm, 0, &block, p));
        OSTREL_ERR(block.finish());
        return next();
      }
      uint64_t mark;
      if (ref.size() < 2 || ref[0] != ':' || !parse_u64(ref.substr(1), &mark) || !mark)
        return fault_here("'" + ref + "' is no blob mark (blob ids are not accepted)");
      OSTREL_ERR(sink_.modify(fm, mark, nullptr, p));
      return next();
    }
    if (starts(cur_, "D ", &rest)) {
      std::string p, tail;
      OSTREL_ERR(path(rest, false, &p, &tail));
      OSTREL_ERR(sink_.remove(p));
      return next();
    }
    if (starts(cur_, "C ", &rest) || starts(cur_, "R ", &rest)) {
      bool rename = cur_[0] == 'R';
      std::string a, b, tail, tail2;
      OSTREL_ERR(path(rest, true, &a, &tail));
      OSTREL_ERR(path(tail, false, &b, &tail2));
      OSTREL_ERR(sink_.copy(a, b, rename));
      return next();
    }
    if (cur_ == "deleteall") {
      OSTREL_ERR(sink_.delete_all());
      return next();
    }
    if (starts(cur_, "N ")) return fault_here("notes are not imported");
    return fault_here("'" + cur_.substr(0, 60) + "' is no file change this import accepts");
  }

  ostrel_error *commit(const std::string &ref) {
    CommitHead head;
    head.ref = ref;
    head.line = in_.line();
    OSTREL_ERR(next());
    OSTREL_ERR(mark_line(&head.mark));
    OSTREL_ERR(oid_line(&head.original_oid));
    if (starts(cur_, "author ")) {
      head.has_author = true;
      OSTREL_ERR(ident("author ", &head.author));
    }
    OSTREL_ERR(ident("committer ", &head.committer));
    if (starts(cur_, "gpgsig "))
      return fault_here("signed commits are not accepted; export with --signed-commits=strip");
    if (starts(cur_, "encoding "))
      return fault_here("the message has an encoding; export with --reencode=yes");
    OSTREL_ERR(message(&head.message));
    std::string rest;
    if (starts(cur_, "from ", &rest)) {
      OSTREL_ERR(from_mark(rest, &head.from));
      OSTREL_ERR(next());
    }
    while (starts(cur_, "merge ", &rest)) {
      uint64_t ignored;
      OSTREL_ERR(from_mark(rest, &ignored));
      OSTREL_ERR(next());
    }
    OSTREL_ERR(sink_.commit(head));
    while (!pending_eof_ && !cur_.empty() && !command_word()) OSTREL_ERR(file_command());
    OSTREL_ERR(sink_.commit_end());
    if (!pending_eof_ && cur_.empty()) OSTREL_ERR(next());
    return nullptr;
  }

  ostrel_error *reset(const std::string &ref) {
    OSTREL_ERR(next());
    uint64_t from = 0;
    std::string rest;
    if (starts(cur_, "from ", &rest)) {
      OSTREL_ERR(from_mark(rest, &from));
      OSTREL_ERR(next());
    }
    return sink_.reset(ref, from);
  }

  ostrel_error *tag(const std::string &name) {
    OSTREL_ERR(next());
    uint64_t mark;
    OSTREL_ERR(mark_line(&mark));
    std::string rest;
    uint64_t from = 0;
    if (!starts(cur_, "from ", &rest)) return fault_here("a tag needs a 'from' line");
    OSTREL_ERR(from_mark(rest, &from));
    OSTREL_ERR(next());
    std::string oid;
    OSTREL_ERR(oid_line(&oid));
    Ident tagger;
    if (starts(cur_, "tagger ")) OSTREL_ERR(ident("tagger ", &tagger));
    std::string msg;
    OSTREL_ERR(message(&msg));
    return sink_.tag(name, from, tagger, msg);
  }

  Input in_;
  Sink &sink_;
  std::string cur_;
  bool pending_eof_ = false;
};

}  // namespace

ostrel_error *parse_stream(const ReadFn &read, Sink &sink, size_t *line) {
  Parser parser(read, sink);
  return parser.run(line);
}

}  // namespace ostrel_git
