// Node blocks (node_block.h): encoding and the bounds-checked decoder.

#include "node_block.h"

#include "../varint.h"

namespace ostrel::fs {

namespace {

// The bits of a record's flags.
constexpr unsigned kHasNid = 1;     // nid differs from the id
constexpr unsigned kHasLine = 2;    // line differs from the id
constexpr unsigned kHasPred = 4;
constexpr unsigned kHasRev = 8;     // created_rev differs from the block's base
constexpr unsigned kHasCopyPath = 16;
constexpr unsigned kHasCopyRev = 32;
constexpr unsigned kHasContent = 64;
constexpr unsigned kHasDir = 128;

// Distances below the id, in the arithmetic of stored numbers: any value
// round-trips, the usual ones (a little below the id) are short.
uint64_t below(int64_t id, int64_t v) { return static_cast<uint64_t>(id) - static_cast<uint64_t>(v); }
int64_t from_below(int64_t id, uint64_t d) {
  return static_cast<int64_t>(static_cast<uint64_t>(id) - d);
}

void append_record(std::string &out, const NodeRow &n, ostrel_revnum base) {
  unsigned flags = (n.nid != n.id ? kHasNid : 0u) | (n.line != n.id ? kHasLine : 0u) |
                   (n.pred ? kHasPred : 0u) | (n.created_rev != base ? kHasRev : 0u) |
                   (n.copy_path ? kHasCopyPath : 0u) |
                   (n.copy_rev != OSTREL_INVALID_REVNUM ? kHasCopyRev : 0u) |
                   (n.content ? kHasContent : 0u) | (n.dir.dkey ? kHasDir : 0u);
  out += static_cast<char>(flags);
  if (flags & kHasNid) put_num(out, below(n.id, n.nid));
  if (flags & kHasLine) put_num(out, below(n.id, n.line));
  if (flags & kHasPred) put_num(out, below(n.id, n.pred));
  if (flags & kHasRev) put_num(out, static_cast<uint64_t>(int64_t{n.created_rev}));
  if (flags & kHasCopyPath) put_str(out, *n.copy_path);
  if (flags & kHasCopyRev) put_num(out, static_cast<uint64_t>(int64_t{n.copy_rev}));
  if (flags & kHasContent) put_num(out, static_cast<uint64_t>(n.content));
  if (flags & kHasDir) {
    put_num(out, static_cast<uint64_t>(n.dir.dkey));
    put_num(out, static_cast<uint64_t>(n.dir.asof));
  }
  put_num(out, static_cast<uint64_t>(n.kind));
  put_str(out, n.props);
}

// The record of node ID, the whole of [P, P + LEN).
bool decode_record(const unsigned char *p, size_t len, int64_t id, ostrel_revnum base,
                   NodeRow &n) {
  Decoder d(p, len);
  unsigned char flags;
  if (!d.byte(&flags)) return false;
  n = NodeRow{};
  n.id = id;
  uint64_t u;
  n.nid = n.line = id;
  if ((flags & kHasNid) && !(d.num(&u) && (n.nid = from_below(id, u), true))) return false;
  if ((flags & kHasLine) && !(d.num(&u) && (n.line = from_below(id, u), true))) return false;
  if ((flags & kHasPred) && !(d.num(&u) && (n.pred = from_below(id, u), true))) return false;
  int64_t v;
  n.created_rev = base;
  if (flags & kHasRev) {
    if (!d.num(&v)) return false;
    n.created_rev = static_cast<ostrel_revnum>(v);
  }
  if (flags & kHasCopyPath) {
    std::string_view s;
    if (!d.str(&s)) return false;
    n.copy_path = std::string(s);
  }
  if (flags & kHasCopyRev) {
    if (!d.num(&v)) return false;
    n.copy_rev = static_cast<ostrel_revnum>(v);
  }
  if ((flags & kHasContent) && !d.num(&n.content)) return false;
  // A directory view of key 0 is no view: written so, it is damage.
  if ((flags & kHasDir) && !(d.num(&n.dir.dkey) && d.num(&n.dir.asof) && n.dir.dkey)) return false;
  std::string_view props;
  if (!d.num(&n.kind) || !d.str(&props)) return false;
  n.props = props;
  return d.done();  // a record is exactly its fields
}

size_t header_size(ostrel_revnum base, size_t count) {
  std::string h;
  put_num(h, static_cast<uint64_t>(int64_t{base}));
  return h.size() + 2 * count;
}

// A body: BASE, the STARTS of the records, then RECORDS.  Only a block of
// one node outgrows 16-bit starts (its one start is 0): pack_node_blocks
// keeps every other block below kNodeBlockBody.
void assemble(std::string &out, ostrel_revnum base, const std::vector<size_t> &starts,
              const std::string &records) {
  out.reserve(header_size(base, starts.size()) + records.size());
  put_num(out, static_cast<uint64_t>(int64_t{base}));
  for (size_t s : starts) {
    out += static_cast<char>(s & 0xff);
    out += static_cast<char>((s >> 8) & 0xff);
  }
  out += records;
}

}  // namespace

std::string assemble_node_block(ostrel_revnum base, const std::vector<std::string> &records) {
  std::string all, out;
  std::vector<size_t> starts;
  for (const std::string &r : records) {
    starts.push_back(all.size());
    all += r;
  }
  assemble(out, base, starts, all);
  return out;
}

std::string encode_node_block(const NodeRow *nodes, size_t count, ostrel_revnum base) {
  std::string records, out;
  std::vector<size_t> starts;
  for (size_t i = 0; i < count; ++i) {
    starts.push_back(records.size());
    append_record(records, nodes[i], base);
  }
  assemble(out, base, starts, records);
  return out;
}

void pack_node_blocks(const std::vector<NodeRow> &nodes, std::vector<NodeBlock> &out) {
  std::string records, rec;
  std::vector<size_t> starts;
  size_t begin = 0;  // the first node of the block being filled
  int64_t lines = 0;
  auto flush = [&](size_t end) {
    if (end == begin) return;
    NodeBlock b;
    b.first = nodes[begin].id;
    b.count = static_cast<int64_t>(end - begin);
    b.lines = lines;
    assemble(b.body, nodes[begin].created_rev, starts, records);
    out.push_back(std::move(b));
    records.clear();
    starts.clear();
    lines = 0;
    begin = end;
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    const NodeRow &n = nodes[i];
    if (i > begin && (n.id != nodes[i - 1].id + 1 || n.created_rev != nodes[i - 1].created_rev))
      flush(i);
    rec.clear();
    append_record(rec, n, nodes[begin].created_rev);
    if (i > begin && header_size(nodes[begin].created_rev, starts.size() + 1) + records.size() +
                             rec.size() > kNodeBlockBody) {
      flush(i);
      rec.clear();
      append_record(rec, n, n.created_rev);  // the new block's base is its own
    }
    starts.push_back(records.size());
    records += rec;
    if (!n.pred) ++lines;
  }
  flush(nodes.size());
}

bool same_node(const NodeRow &a, const NodeRow &b) {
  return a.id == b.id && a.kind == b.kind && a.nid == b.nid && a.pred == b.pred &&
         a.line == b.line && a.created_rev == b.created_rev && a.copy_path == b.copy_path &&
         a.copy_rev == b.copy_rev && a.content == b.content && a.props == b.props &&
         a.dir == b.dir;
}

bool NodeBlockView::open(const void *body, size_t len, int64_t first, int64_t count) {
  offsets_ = records_ = nullptr;
  count_ = 0;
  const auto *p = static_cast<const unsigned char *>(body);
  Decoder d(p, len);
  int64_t base;
  if (count < 1 || !d.num(&base)) return false;
  const size_t head = d.used(p);
  if (static_cast<uint64_t>(count) > (len - head) / 2) return false;
  first_ = first;
  count_ = count;
  base_ = static_cast<ostrel_revnum>(base);
  offsets_ = p + head;
  records_ = offsets_ + 2 * static_cast<size_t>(count);
  records_len_ = len - head - 2 * static_cast<size_t>(count);
  return true;
}

bool NodeBlockView::record(int64_t id, std::string_view *bytes) const {
  if (!offsets_ || !holds(id)) return false;
  const size_t i = static_cast<size_t>(id - first_);
  auto start_of = [this](size_t k) {
    return static_cast<size_t>(offsets_[2 * k]) | static_cast<size_t>(offsets_[2 * k + 1]) << 8;
  };
  const size_t start = start_of(i);
  const size_t end = i + 1 < static_cast<size_t>(count_) ? start_of(i + 1) : records_len_;
  if (start > end || end > records_len_) return false;
  *bytes = std::string_view(reinterpret_cast<const char *>(records_) + start, end - start);
  return true;
}

bool NodeBlockView::node(int64_t id, NodeRow &out) const {
  std::string_view bytes;
  return record(id, &bytes) &&
         decode_record(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), id,
                       base_, out);
}

bool NodeBlockView::all(std::vector<NodeRow> &out) const {
  out.resize(static_cast<size_t>(count_));
  for (int64_t k = 0; k < count_; ++k)
    if (!node(first_ + k, out[static_cast<size_t>(k)])) return false;
  return true;
}

}  // namespace ostrel::fs
