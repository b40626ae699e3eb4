// Node blocks (format 5): the codec on its own, and node reads through the
// metadata seam at the edges of blocks.
#include "node_block.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../filesystem_test_helpers.h"
#include "sqlite_meta.h"
#include "store.h"

namespace ostrel::fs {
namespace {

using fs_test::take_error;

std::string describe(const NodeRow &n) {
  return "node " + std::to_string(n.id) + " kind " + std::to_string(n.kind) + " nid " +
         std::to_string(n.nid) + " pred " + std::to_string(n.pred) + " line " +
         std::to_string(n.line) + " rev " + std::to_string(n.created_rev) + " copy " +
         (n.copy_path ? *n.copy_path : "-") + "@" + std::to_string(n.copy_rev) + " content " +
         std::to_string(n.content) + " props " + std::to_string(n.props.size()) + " bytes dir " +
         std::to_string(n.dir.dkey) + "/" + std::to_string(n.dir.asof);
}

// A plain new file of revision REV: its own line, contents, no properties.
NodeRow plain(int64_t id, ostrel_revnum rev) {
  NodeRow n;
  n.id = n.nid = n.line = id;
  n.kind = ostrel_node_file;
  n.created_rev = rev;
  n.content = 1000 + id;
  return n;
}

// Every node shape a commit writes, and values only damage writes (the
// codec keeps whatever it is given: the caller judges the values).
std::vector<NodeRow> shapes(int64_t first, ostrel_revnum rev) {
  std::vector<NodeRow> out;
  auto add = [&](auto edit) {
    NodeRow n = plain(first + static_cast<int64_t>(out.size()), rev);
    edit(n);
    out.push_back(n);
  };
  add([](NodeRow &) {});
  add([](NodeRow &n) { n.content = 0; });                                     // empty file
  add([](NodeRow &n) { n.pred = n.id - 40, n.nid = n.line = n.id - 90; });    // a change
  add([](NodeRow &n) { n.copy_path = "/trunk/src/x.c", n.copy_rev = 3, n.pred = 2; });
  add([](NodeRow &n) { n.props = "K 3\nkey\nV 1\nv\nEND\n"; });
  add([](NodeRow &n) {                                                        // a directory
    n.kind = ostrel_node_dir, n.content = 0, n.dir = View{77, 12};
  });
  add([&](NodeRow &n) { n.created_rev = rev - 1; });                          // another revision
  add([](NodeRow &n) { n.copy_path = std::string(); });                       // empty copy path
  add([](NodeRow &n) {                                                        // damaged values
    n.kind = 4294967297, n.created_rev = -5, n.copy_rev = -7, n.pred = n.id + 5;
    n.nid = -1, n.content = INT64_MAX, n.dir = View{INT64_MIN, -1};
  });
  return out;
}

// Every node of BLOCKS, decoded one by one, as NODES were.
void expect_decodes(const std::vector<NodeBlock> &blocks, const std::vector<NodeRow> &nodes) {
  size_t k = 0;
  int64_t lines = 0;
  for (const NodeBlock &b : blocks) {
    SCOPED_TRACE("block from " + std::to_string(b.first));
    NodeBlockView view;
    ASSERT_TRUE(view.open(b.body.data(), b.body.size(), b.first, b.count));
    if (b.count > 1) {
      EXPECT_LE(b.body.size(), kNodeBlockBody);
    }
    for (int64_t id = b.first; id < b.first + b.count; ++id, ++k) {
      ASSERT_LT(k, nodes.size());
      NodeRow got;
      ASSERT_TRUE(view.node(id, got)) << id;
      EXPECT_TRUE(same_node(got, nodes[k])) << describe(got) << "\nwanted " << describe(nodes[k]);
      lines += nodes[k].pred ? 0 : 1;
    }
    lines -= b.lines;
  }
  EXPECT_EQ(k, nodes.size());
  EXPECT_EQ(lines, 0) << "the blocks' counts of lines";
}

TEST(NodeBlock, EveryShapeRoundTripsAndBlocksStayWithinAPage) {
  struct Case {
    const char *name;
    std::vector<NodeRow> nodes;
    size_t blocks;  // how many blocks they make
  };
  std::vector<NodeRow> many;
  for (int64_t id = 2; id < 2 + 1024; ++id) many.push_back(plain(id, 9));
  std::vector<NodeRow> huge = shapes(10, 4);
  huge[4].props.assign(100000, 'p');  // needs a block of its own, beyond 16-bit offsets
  std::vector<NodeRow> long_copy = shapes(10, 4);
  long_copy[3].copy_path = "/" + std::string(3000, 'd');
  std::vector<NodeRow> gap = shapes(10, 4);
  for (size_t i = 5; i < gap.size(); ++i) gap[i].id += 100;  // ids 15.. are 115..
  const Case cases[] = {
      {"one of each shape", shapes(10, 4), 4},  // three of other revisions at the end
      {"a thousand new files", many, 0},
      {"huge properties", huge, 6},
      {"a long copy source", long_copy, 6},
      {"a gap in the ids", gap, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<NodeBlock> blocks;
    pack_node_blocks(c.nodes, blocks);
    if (c.blocks) {
      EXPECT_EQ(blocks.size(), c.blocks);
    }
    expect_decodes(blocks, c.nodes);
  }
  // One block holds any nodes, of any revision (a block that damage
  // rewrote is encoded so).
  const std::vector<NodeRow> all = shapes(10, 4);
  NodeBlock one{10, static_cast<int64_t>(all.size()), 0, encode_node_block(all.data(), all.size(), 4)};
  for (const NodeRow &n : all) one.lines += n.pred ? 0 : 1;
  expect_decodes({one}, all);
  // A plain node costs its flags, kind, contents and empty properties, and
  // its offset: a thousand fill a few pages.
  std::vector<NodeBlock> blocks;
  pack_node_blocks(many, blocks);
  size_t bytes = 0;
  for (const NodeBlock &b : blocks) bytes += b.body.size();
  EXPECT_LE(bytes, many.size() * 8);
  EXPECT_LE(blocks.size(), many.size() * 8 / kNodeBlockBody + 2);
}

// A body cut anywhere, with a byte too many, with offsets out of range or
// with an overlong number is refused, never read as other values.
TEST(NodeBlock, DamagedBodiesAreRefused) {
  const std::vector<NodeRow> nodes = shapes(10, 4);
  const std::string body = encode_node_block(nodes.data(), nodes.size(), 4);
  const int64_t count = static_cast<int64_t>(nodes.size());
  auto readable = [&](const std::string &b, int64_t n) {
    NodeBlockView view;
    std::vector<NodeRow> all;
    return view.open(b.data(), b.size(), 10, n) && view.all(all);
  };
  ASSERT_TRUE(readable(body, count));
  for (size_t len = 0; len < body.size(); ++len)
    EXPECT_FALSE(readable(body.substr(0, len), count)) << "cut to " << len;
  EXPECT_FALSE(readable(body + '\x01', count)) << "a byte too many";
  EXPECT_FALSE(readable(body, 0)) << "no nodes";
  EXPECT_FALSE(readable(body, -3)) << "a negative count";
  EXPECT_FALSE(readable(body, INT64_MAX)) << "more offsets than bytes";
  std::string past = body;
  past[1] = past[2] = '\xff';  // the first record begins past the end
  EXPECT_FALSE(readable(past, count));
  std::string backwards = body;
  backwards[3] = '\x70';  // the second record begins after the third
  EXPECT_FALSE(readable(backwards, count));
  // Node 10's record with its contents written in 11 bytes.
  NodeBlockView view;
  ASSERT_TRUE(view.open(body.data(), body.size(), 10, count));
  std::string_view first;
  ASSERT_TRUE(view.record(10, &first));
  std::vector<std::string> records;
  for (int64_t id = 10; id < 10 + count; ++id) {
    std::string_view r;
    ASSERT_TRUE(view.record(id, &r));
    records.emplace_back(r);
  }
  ASSERT_TRUE(readable(assemble_node_block(4, records), count));
  records[0] = std::string(1, '\x40') + '\x01' + std::string(10, '\x80') + '\x01' + '\x00';
  EXPECT_FALSE(readable(assemble_node_block(4, records), count));
  // The other records of a block stay readable.
  const std::string one_bad = assemble_node_block(4, records);
  ASSERT_TRUE(view.open(one_bad.data(), one_bad.size(), 10, count));
  NodeRow n;
  EXPECT_FALSE(view.node(10, n));
  EXPECT_TRUE(view.node(11, n) && same_node(n, nodes[1]));
}

// Node reads through the seam: the first and last node of each block, an
// id past the last node, ids in a gap left by a lost block, and a block a
// rolled-back writer wrote (its ids are handed out again).
class NodeBlockStore : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/fs.db";
    OK(open_sqlite_meta(path_, true, 1000, "2026-01-01T00:00:00.000000Z", &meta_, 5));
  }
  // Commits NODES as revision youngest + 1.
  ostrel_error *commit(const std::vector<NodeRow> &nodes) {
    std::unique_ptr<Writer> w;
    OSTREL_ERR(meta_->begin_writer(false, &w));
    OSTREL_ERR(w->add_nodes(nodes));
    OSTREL_ERR(w->add_revision(w->reads().youngest() + 1, 1, {}));
    return w->commit();
  }
  // The error of reading node ID through S ("" for none).
  std::string read_error(Snapshot &s, int64_t id) {
    NodeRow n;
    return take_error(s.node(id, n));
  }
  ostrel_test::TempDir dir_{"ostrel-node-block"};
  std::string path_;
  std::unique_ptr<MetaStore> meta_;
};

TEST_F(NodeBlockStore, ReadsAtBlockEdges) {
  std::vector<NodeRow> nodes;
  for (int64_t id = 2; id < 2 + 1000; ++id) nodes.push_back(plain(id, 1));
  nodes[500].props.assign(5000, 'x');  // a block of its own in the middle
  OK(commit(nodes));
  std::unique_ptr<Snapshot> snap;
  OK(meta_->snapshot(&snap));
  NodeRow n;
  OK(snap->node(1, n));
  EXPECT_EQ(n.kind, ostrel_node_dir);
  EXPECT_EQ(n.created_rev, 0);
  // Backwards, so that the block read last never holds the next one.
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    OK(snap->node(it->id, n));
    ASSERT_TRUE(same_node(n, *it)) << describe(n);
  }
  EXPECT_NE(read_error(*snap, 1002).find("node 1002 is missing"), std::string::npos);
  EXPECT_NE(read_error(*snap, 0).find("node 0 is missing"), std::string::npos);
  // Lose the block that begins at 502, the one of the large node.
  {
    Store db;
    OK(db.open(path_, false, 1000));
    OK(db.exec("DELETE FROM nodeblock WHERE first=502"));
  }
  OK(meta_->snapshot(&snap));
  EXPECT_NE(read_error(*snap, 502).find("node 502 is missing"), std::string::npos);
  OK(snap->node(501, n));
  EXPECT_TRUE(same_node(n, nodes[499]));
  OK(snap->node(503, n));
  EXPECT_TRUE(same_node(n, nodes[501]));
}

TEST_F(NodeBlockStore, ABlockOfARolledBackWriterIsNotReadLater) {
  std::unique_ptr<Snapshot> snap;
  OK(meta_->snapshot(&snap));
  NodeRow n;
  {
    std::unique_ptr<Writer> w;
    OK(meta_->begin_writer(false, &w));
    NodeRow undone = plain(2, 1);
    undone.content = 1;
    OK(w->add_nodes({undone, plain(3, 1)}));
    // Inside the writer the snapshot reads through its transaction.
    OK(snap->node(3, n));
    w->rollback();
  }
  OK(commit({plain(2, 1), plain(3, 1)}));
  OK(snap->node(2, n));
  EXPECT_EQ(n.content, plain(2, 1).content);
}

}  // namespace
}  // namespace ostrel::fs
