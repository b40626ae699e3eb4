// The dump stream reader: a small state machine over header lines and the
// length-prefixed payloads they announce (docs/dump-format.md).

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dump_stream.h"
#include "ostrel_repos_admin.h"

namespace ostrel::repos {

const char *dump_action_word(DumpAction action) {
  switch (action) {
    case DumpAction::add:
      return "add";
    case DumpAction::remove:
      return "delete";
    case DumpAction::replace:
      return "replace";
    case DumpAction::modify:
      return "modify";
  }
  return "?";
}

namespace {

constexpr size_t kMaxLine = 256;

struct DigestFree {
  void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestFree>;

std::string hex(const unsigned char *bytes, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

std::string finish(EVP_MD_CTX *ctx) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  return hex(md, len);
}

bool is_sha256_hex(const std::string &s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A decimal number without sign or leading zeros, at most MAX.
bool parse_number(const std::string &s, uint64_t max, uint64_t *value) {
  if (s.empty() || s.size() > 19 || (s.size() > 1 && s[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *value = v;
  return true;
}

std::vector<std::string> words(const std::string &line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t sp = line.find(' ', start);
    out.push_back(line.substr(start, sp == std::string::npos ? std::string::npos : sp - start));
    if (sp == std::string::npos) break;
    start = sp + 1;
  }
  return out;
}

class Reader {
 public:
  Reader(ostrel_stream *in, DumpSink &sink)
      : in_(in), sink_(sink), buf_(OSTREL_STREAM_CHUNK_SIZE) {}

  ostrel_error *run() {
    revision_digest_.reset(EVP_MD_CTX_new());
    text_digest_.reset(EVP_MD_CTX_new());
    if (!revision_digest_ || !text_digest_)
      return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot start a SHA-256 digest");
    OSTREL_ERR(read_header());
    while (true) {
      std::string line;
      OSTREL_ERR(start_revision_digest());
      OSTREL_ERR(read_line(&line));
      std::vector<std::string> w = words(line);
      if (w.size() == 1 && w[0] == "end") {
        char extra;
        size_t n = 0;
        OSTREL_ERR(read_some(&extra, 1, &n));
        if (n) return damaged("there are bytes after the end mark");
        return sink_.end_stream();
      }
      uint64_t rev;
      if (w.size() != 2 || w[0] != "revision" || !parse_number(w[1], OSTREL_REVNUM_MAX, &rev))
        return damaged("expected 'revision N' or 'end', found '" + printable(line) + "'");
      if (static_cast<ostrel_revnum>(rev) != next_rev_)
        return damaged("expected revision " + std::to_string(next_rev_) + ", found revision " +
                       std::to_string(rev));
      rev_ = next_rev_++;
      OSTREL_ERR(sink_.begin_revision(rev_));
      OSTREL_ERR(read_revision());
    }
  }

 private:
  // ---- bytes --------------------------------------------------------------

  ostrel_error *fill() {
    apr_size_t len = buf_.size();
    OSTREL_ERR(ostrel_stream_read_full(in_, buf_.data(), &len));
    pos_ = 0;
    end_ = len;
    return nullptr;
  }

  // Up to LEN bytes; *GOT is 0 only at the end of the input.
  ostrel_error *read_some(char *out, size_t len, size_t *got) {
    if (pos_ == end_) OSTREL_ERR(fill());
    size_t n = std::min(len, end_ - pos_);
    std::memcpy(out, buf_.data() + pos_, n);
    consume(buf_.data() + pos_, n);
    pos_ += n;
    *got = n;
    return nullptr;
  }

  void consume(const char *data, size_t n) {
    if (hashing_) EVP_DigestUpdate(revision_digest_.get(), data, n);
    offset_ += n;
  }

  ostrel_error *read_line(std::string *line) {
    line->clear();
    while (true) {
      if (pos_ == end_) {
        OSTREL_ERR(fill());
        if (end_ == 0) return damaged("the stream ends early");
      }
      const char *start = buf_.data() + pos_;
      const void *nl = std::memchr(start, '\n', end_ - pos_);
      size_t n = nl ? static_cast<const char *>(nl) - start : end_ - pos_;
      if (line->size() + n > kMaxLine) return damaged("a line is too long");
      line->append(start, n);
      offset_ += n + (nl ? 1 : 0);
      pos_ += n + (nl ? 1 : 0);
      if (nl) break;
    }
    // A revision's checksum covers its bytes up to its end mark.
    if (hashing_ && line->rfind("end-revision", 0) != 0) {
      EVP_DigestUpdate(revision_digest_.get(), line->data(), line->size());
      EVP_DigestUpdate(revision_digest_.get(), "\n", 1);
    }
    return nullptr;
  }

  // Exactly LEN bytes appended to OUT, which grows only as they arrive.
  ostrel_error *read_exact(size_t len, std::string *out) {
    out->clear();
    char chunk[4096];
    while (out->size() < len) {
      size_t got;
      OSTREL_ERR(read_some(chunk, std::min(sizeof chunk, len - out->size()), &got));
      if (!got) return damaged("the stream ends early");
      out->append(chunk, got);
    }
    return nullptr;
  }

  ostrel_error *expect_newline() {
    char c;
    size_t got;
    OSTREL_ERR(read_some(&c, 1, &got));
    if (!got) return damaged("the stream ends early");
    if (c != '\n') return damaged("a payload is not followed by a newline");
    return nullptr;
  }

  ostrel_error *start_revision_digest() {
    if (EVP_DigestInit_ex(revision_digest_.get(), EVP_sha256(), nullptr) != 1)
      return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot start a SHA-256 digest");
    hashing_ = true;
    return nullptr;
  }

  // ---- structure ----------------------------------------------------------

  ostrel_error *read_header() {
    std::string line;
    OSTREL_ERR(read_line(&line));
    std::vector<std::string> w = words(line);
    if (w.size() != 2 || w[0] != kDumpMagic) return damaged("it is not a dump stream");
    uint64_t version;
    if (!parse_number(w[1], 1000000, &version) || version != OSTREL_DUMP_FORMAT_VERSION)
      return damaged("it has format version '" + printable(w[1]) + "'; this build reads " +
                     std::to_string(OSTREL_DUMP_FORMAT_VERSION));
    OSTREL_ERR(read_line(&line));
    w = words(line);
    if (w.size() != 3 || w[0] != "base") return damaged("its 'base' line is missing");
    ostrel_revnum base = OSTREL_INVALID_REVNUM;
    uint64_t b;
    if (w[1] == "none") {
      if (w[2] != "-") return damaged("a stream from revision 0 names a base date");
    } else if (parse_number(w[1], OSTREL_REVNUM_MAX - 1, &b)) {
      base = static_cast<ostrel_revnum>(b);
    } else {
      return damaged("its base revision '" + printable(w[1]) + "' is not a revision");
    }
    for (char c : w[2])
      if (c <= ' ' || c > '~') return damaged("its base date is not printable");
    next_rev_ = base + 1;
    return sink_.header(base, w[2] == "-" ? std::string() : w[2]);
  }

  ostrel_error *read_pair(const std::vector<std::string> &w, std::string *name,
                          std::string *value) {
    uint64_t nl, vl;
    if (w.size() != 3 || !parse_number(w[1], kDumpMaxName, &nl) ||
        !parse_number(w[2], kDumpMaxValue, &vl) || nl == 0)
      return damaged("bad lengths in '" + printable(w[0]) + "' line");
    OSTREL_ERR(read_exact(nl, name));
    OSTREL_ERR(read_exact(vl, value));
    if (std::memchr(name->data(), '\0', name->size()))
      return damaged("a property name holds a NUL byte");
    return expect_newline();
  }

  ostrel_error *read_path(const std::string &count, std::string *path) {
    uint64_t len;
    if (!parse_number(count, kDumpMaxName, &len) || len == 0)
      return damaged("bad path length '" + printable(count) + "'");
    OSTREL_ERR(read_exact(len, path));
    if ((*path)[0] != '/' || std::memchr(path->data(), '\0', path->size()))
      return damaged("path '" + printable(*path) + "' is not a '/'-rooted path");
    return expect_newline();
  }

  ostrel_error *read_revision() {
    enum { kRevprops, kNode, kCopied, kPropsDone, kTextDone } state = kRevprops;
    DumpAction action = DumpAction::modify;
    ostrel_node_kind kind = ostrel_node_none;
    std::string line, name, value;
    while (true) {
      OSTREL_ERR(read_line(&line));
      std::vector<std::string> w = words(line);
      const std::string &word = w[0];
      if (word == "revprop" && state == kRevprops) {
        OSTREL_ERR(read_pair(w, &name, &value));
        OSTREL_ERR(sink_.revprop(name, value));
      } else if (word == "node" && w.size() == 4 && rev_ > 0) {
        if (w[1] == "add")
          action = DumpAction::add;
        else if (w[1] == "delete")
          action = DumpAction::remove;
        else if (w[1] == "replace")
          action = DumpAction::replace;
        else if (w[1] == "modify")
          action = DumpAction::modify;
        else
          return damaged("unknown node action '" + printable(w[1]) + "'");
        if (w[2] == "file")
          kind = ostrel_node_file;
        else if (w[2] == "dir")
          kind = ostrel_node_dir;
        else
          return damaged("unknown node kind '" + printable(w[2]) + "'");
        OSTREL_ERR(read_path(w[3], &name));
        if (name == "/" && action != DumpAction::modify)
          return damaged("the root can only be modified");
        OSTREL_ERR(sink_.node(action, kind, name));
        state = kNode;
      } else if (word == "copy" && w.size() == 3 && state == kNode &&
                 (action == DumpAction::add || action == DumpAction::replace)) {
        uint64_t from;
        if (!parse_number(w[1], OSTREL_REVNUM_MAX, &from) ||
            static_cast<ostrel_revnum>(from) >= rev_)
          return damaged("copy source revision '" + printable(w[1]) + "' is not an earlier one");
        OSTREL_ERR(read_path(w[2], &name));
        OSTREL_ERR(sink_.copy(static_cast<ostrel_revnum>(from), name));
        state = kCopied;
      } else if (word == "props" && w.size() == 1 && (state == kNode || state == kCopied) &&
                 action != DumpAction::remove) {
        std::map<std::string, std::string> props;
        while (true) {
          OSTREL_ERR(read_line(&line));
          std::vector<std::string> pw = words(line);
          if (pw.size() == 1 && pw[0] == "end-props") break;
          if (pw[0] != "prop") return damaged("expected 'prop' or 'end-props'");
          OSTREL_ERR(read_pair(pw, &name, &value));
          if (!props.emplace(name, value).second)
            return damaged("property '" + printable(name) + "' is listed twice");
        }
        OSTREL_ERR(sink_.props(props));
        state = kPropsDone;
      } else if (word == "text" && w.size() == 3 && state >= kNode && state <= kPropsDone &&
                 action != DumpAction::remove && kind == ostrel_node_file) {
        OSTREL_ERR(read_text(w));
        state = kTextDone;
      } else if (word == "end-revision" && w.size() == 3) {
        hashing_ = false;
        uint64_t rev;
        if (!parse_number(w[1], OSTREL_REVNUM_MAX, &rev) || static_cast<ostrel_revnum>(rev) != rev_)
          return damaged("its end mark names another revision");
        if (!is_sha256_hex(w[2])) return damaged("its checksum is malformed");
        if (finish(revision_digest_.get()) != w[2])
          return damaged("its checksum does not match its bytes");
        return sink_.end_revision(rev_);
      } else {
        return damaged("unexpected line '" + printable(line) + "'");
      }
    }
  }

  ostrel_error *read_text(const std::vector<std::string> &w) {
    uint64_t length;
    if (!parse_number(w[1], uint64_t{1} << 62, &length) || !is_sha256_hex(w[2]))
      return damaged("bad 'text' line");
    if (EVP_DigestInit_ex(text_digest_.get(), EVP_sha256(), nullptr) != 1)
      return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr, "Cannot start a SHA-256 digest");
    OSTREL_ERR(sink_.text_begin(length));
    std::vector<char> chunk(OSTREL_STREAM_CHUNK_SIZE);
    for (uint64_t left = length; left > 0;) {
      size_t got;
      OSTREL_ERR(read_some(chunk.data(),
                           static_cast<size_t>(std::min<uint64_t>(chunk.size(), left)), &got));
      if (!got) return damaged("the stream ends early, inside file contents");
      EVP_DigestUpdate(text_digest_.get(), chunk.data(), got);
      OSTREL_ERR(sink_.text_chunk(chunk.data(), got));
      left -= got;
    }
    OSTREL_ERR(expect_newline());
    if (finish(text_digest_.get()) != w[2])
      return damaged("file contents do not match their SHA-256");
    return sink_.text_end();
  }

  // ---- errors -------------------------------------------------------------

  static std::string printable(const std::string &s) {
    std::string out;
    for (char c : s.substr(0, 60)) out.push_back(c >= ' ' && c <= '~' ? c : '?');
    if (s.size() > 60) out += "...";
    return out;
  }

  ostrel_error *damaged(const std::string &why) {
    if (rev_ == OSTREL_INVALID_REVNUM)
      return ostrel_error_createf(OSTREL_ERR_DUMP_STREAM_DAMAGED, nullptr,
                                  "Dump stream is damaged at byte %llu, before its first "
                                  "revision: %s",
                                  static_cast<unsigned long long>(offset_), why.c_str());
    return ostrel_error_createf(OSTREL_ERR_DUMP_STREAM_DAMAGED, nullptr,
                                "Dump stream is damaged at byte %llu, in revision %ld: %s",
                                static_cast<unsigned long long>(offset_), static_cast<long>(rev_),
                                why.c_str());
  }

  ostrel_stream *in_;
  DumpSink &sink_;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  uint64_t offset_ = 0;
  bool hashing_ = false;
  Digest revision_digest_, text_digest_;
  ostrel_revnum rev_ = OSTREL_INVALID_REVNUM;
  ostrel_revnum next_rev_ = 0;
};

// Checks a stream without a repository: every call succeeds.
class NullSink : public DumpSink {
 public:
  ostrel_error *header(ostrel_revnum, const std::string &) override { return nullptr; }
  ostrel_error *begin_revision(ostrel_revnum) override { return nullptr; }
  ostrel_error *revprop(const std::string &, const std::string &) override { return nullptr; }
  ostrel_error *node(DumpAction, ostrel_node_kind, const std::string &) override { return nullptr; }
  ostrel_error *copy(ostrel_revnum, const std::string &) override { return nullptr; }
  ostrel_error *props(const std::map<std::string, std::string> &) override { return nullptr; }
  ostrel_error *text_begin(uint64_t) override { return nullptr; }
  ostrel_error *text_chunk(const char *, size_t) override { return nullptr; }
  ostrel_error *text_end() override { return nullptr; }
  ostrel_error *end_revision(ostrel_revnum) override { return nullptr; }
  ostrel_error *end_stream() override { return nullptr; }
};

}  // namespace

ostrel_error *read_dump(ostrel_stream *in, DumpSink &sink) {
  return Reader(in, sink).run();
}

}  // namespace ostrel::repos

extern "C" ostrel_error *ostrel_repos_dump_check(ostrel_stream *in, apr_pool_t *) {
  ostrel::repos::NullSink sink;
  return ostrel::repos::read_dump(in, sink);
}
