/* node_block.h: the encoded blocks of node records of format 5 (FORMAT 5 in
 * meta.cpp).  A block holds the nodes with ids FIRST .. FIRST + COUNT - 1 in
 * order; the block's row keeps FIRST and COUNT, the body everything else:
 *
 *   body    = base-rev offsets records
 *   offsets = COUNT little-endian 16-bit starts of the records, counted
 *             from the first record
 *   record  = flags [nid] [line] [pred] [created-rev] [copy-path] [copy-rev]
 *             [content] [dkey asof] kind props
 *
 * Numbers are unsigned LEB128 (a negative value as its 64-bit two's
 * complement), strings a length and their bytes.  A field whose flag bit is
 * clear is absent and takes its usual value: nid and line the node's own id,
 * no predecessor, created_rev the block's base revision, no copy, no
 * contents, no directory.  nid, line and pred are kept as their distance
 * below the id.  A block of more than one node fits in kNodeBlockBody bytes
 * (so that reading it is one page of the database, without overflow); a
 * node too large for that has a block of its own.
 *
 * Decoding is a parser of stored bytes: every read is bounds-checked and
 * any damage is reported as false, never read past the body. */
#ifndef OSTREL_FS_SQLITE_NODE_BLOCK_H
#define OSTREL_FS_SQLITE_NODE_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../meta.h"

namespace ostrel::fs {

/* The largest body of a block of several nodes: a 2 KiB page holds it in
 * one cell with its row's other columns. */
inline constexpr size_t kNodeBlockBody = 1900;

/* A block ready to be written: its row's columns.  LINES counts its nodes
 * without predecessor. */
struct NodeBlock {
  int64_t first = 0;
  int64_t count = 0;
  int64_t lines = 0;
  std::string body;
};

/* Encodes NODES (COUNT of them, ids consecutive from NODES[0].id) as one
 * block whose base revision is BASE, whatever its size. */
std::string encode_node_block(const NodeRow *nodes, size_t count, ostrel_revnum base);

/* A body of the records RECORDS, each as encoded bytes, with base BASE
 * (encode_node_block is this with the records of its nodes). */
std::string assemble_node_block(ostrel_revnum base, const std::vector<std::string> &records);

/* Appends to OUT the blocks of NODES (sorted by id): a new block begins at
 * every gap in the ids, wherever created_rev changes and wherever the body
 * would outgrow kNodeBlockBody.  The base revision of each block is that of
 * its nodes. */
void pack_node_blocks(const std::vector<NodeRow> &nodes, std::vector<NodeBlock> &out);

/* Whether A and B hold the same values in every field. */
bool same_node(const NodeRow &a, const NodeRow &b);

/* A stored block, read in place: BODY must outlive the view. */
class NodeBlockView {
 public:
  /* False when BODY cannot be the body of a block of COUNT nodes from
   * FIRST (its header or offsets are damaged). */
  bool open(const void *body, size_t len, int64_t first, int64_t count);
  int64_t first() const { return first_; }
  int64_t count() const { return count_; }
  ostrel_revnum base() const { return base_; }
  bool holds(int64_t id) const {
    return id >= first_ && static_cast<uint64_t>(id - first_) < static_cast<uint64_t>(count_);
  }
  /* Decodes only the record of node ID (REQUIRES: holds(ID)); false when
   * it is damaged. */
  bool node(int64_t id, NodeRow &out) const;
  /* The stored bytes of the record of node ID (REQUIRES: holds(ID));
   * false when the offsets put it outside the body. */
  bool record(int64_t id, std::string_view *bytes) const;
  /* Decodes every record, in order; false at the first damaged one. */
  bool all(std::vector<NodeRow> &out) const;

 private:
  const unsigned char *offsets_ = nullptr;
  const unsigned char *records_ = nullptr;
  size_t records_len_ = 0;
  int64_t first_ = 0;
  int64_t count_ = 0;
  ostrel_revnum base_ = 0;
};

}  // namespace ostrel::fs

#endif /* OSTREL_FS_SQLITE_NODE_BLOCK_H */
