/* dump_stream.h: reading and writing the dump stream (docs/dump-format.md).
 * Shared by dump.cpp, load.cpp and the stream's fuzz target; not installed.
 *
 * The reader treats its input as hostile: every length is checked against a
 * bound before use, nothing is allocated for a length before the bytes it
 * announces have arrived, and every fault is OSTREL_ERR_DUMP_STREAM_DAMAGED
 * naming the revision and the byte offset. */
#ifndef OSTREL_REPOS_DUMP_STREAM_H
#define OSTREL_REPOS_DUMP_STREAM_H

#include <cstdint>
#include <map>
#include <string>

#include "ostrel_error.h"
#include "ostrel_io.h"
#include "ostrel_types.h"

namespace ostrel::repos {

inline constexpr char kDumpMagic[] = "OSTREL-DUMP";
/* Longest path or property name, and longest property value, accepted. */
inline constexpr size_t kDumpMaxName = 64 * 1024;
inline constexpr size_t kDumpMaxValue = 64 * 1024 * 1024;

enum class DumpAction { add, remove, replace, modify };

const char *dump_action_word(DumpAction action);

/* What the reader hands over, in stream order.  A method's error stops the
 * reading and is returned unchanged by read_dump. */
class DumpSink {
 public:
  virtual ~DumpSink() = default;
  /* BASE is OSTREL_INVALID_REVNUM when the stream starts at revision 0;
   * BASE_DATE is empty when the stream names none. */
  virtual ostrel_error *header(ostrel_revnum base, const std::string &base_date) = 0;
  virtual ostrel_error *begin_revision(ostrel_revnum rev) = 0;
  virtual ostrel_error *revprop(const std::string &name, const std::string &value) = 0;
  virtual ostrel_error *node(DumpAction action, ostrel_node_kind kind, const std::string &path) = 0;
  virtual ostrel_error *copy(ostrel_revnum rev, const std::string &path) = 0;
  /* The node's whole property list. */
  virtual ostrel_error *props(const std::map<std::string, std::string> &props) = 0;
  virtual ostrel_error *text_begin(uint64_t length) = 0;
  virtual ostrel_error *text_chunk(const char *data, size_t len) = 0;
  /* Called only once the contents matched their SHA-256. */
  virtual ostrel_error *text_end() = 0;
  /* Called only once the revision's bytes matched its checksum. */
  virtual ostrel_error *end_revision(ostrel_revnum rev) = 0;
  virtual ostrel_error *end_stream() = 0;
};

/* Reads the dump stream IN to its end mark, calling SINK. */
ostrel_error *read_dump(ostrel_stream *in, DumpSink &sink);

}  // namespace ostrel::repos

#endif /* OSTREL_REPOS_DUMP_STREAM_H */
