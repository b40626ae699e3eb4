#include "ostrel_io.h"
#include "ostrel_pools.h"
#include "ostrel_string.h"
#include "ostrel_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ostrel_test::PoolTest;

using SplitTest = PoolTest;

TEST_F(SplitTest, Cases) {
  struct Case {
    const char *input;
    bool chop;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a\nb\nc", false, {"a", "b", "c"}},
      {"a\r\nb\r\n", false, {"a", "b"}},
      {"\n\n\r\ra\n\n\nb\n", false, {"a", "b"}},
      {"  spaced line \n", false, {"  spaced line "}},
      {"  spaced line \n \n", true, {"spaced line"}},
      {"", false, {}},
      {"\r\n", false, {}},
  };
  for (const Case &c : cases) {
    apr_array_header_t *array = apr_array_make(pool_, 1, sizeof(const char *));
    APR_ARRAY_PUSH(array, const char *) = "existing";
    ostrel_cstring_split_append(array, c.input, "\n\r", c.chop, pool_);
    std::vector<std::string> got;
    for (int i = 1; i < array->nelts; ++i) got.emplace_back(APR_ARRAY_IDX(array, i, const char *));
    EXPECT_EQ(got, c.pieces) << "input: " << c.input;
    EXPECT_STREQ(APR_ARRAY_IDX(array, 0, const char *), "existing");
  }
}

TEST_F(PoolTest, StringbufGrowsAndStaysTerminated) {
  ostrel_stringbuf *buf = ostrel_stringbuf_create("", pool_);
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    ostrel_stringbuf_appendcstr(buf, "xyz");
    expected += "xyz";
  }
  ostrel_stringbuf_appendbytes(buf, "a\0b", 3);
  expected.append("a\0b", 3);
  ASSERT_EQ(buf->len, expected.size());
  EXPECT_EQ(std::string(buf->data, buf->len), expected);
  EXPECT_EQ(buf->data[buf->len], '\0');
  ostrel_string *copy = ostrel_string_create_from_buf(buf, pool_);
  EXPECT_EQ(std::string(copy->data, copy->len), expected);
}

TEST_F(PoolTest, StreamCopyMovesEverythingInChunks) {
  std::string big(3 * OSTREL_STREAM_CHUNK_SIZE + 17, 'q');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  ostrel_string source{big.data(), big.size()};
  ostrel_stringbuf *sink = ostrel_stringbuf_create("", pool_);
  ostrel_error *err = ostrel_stream_copy(ostrel_stream_from_string(&source, pool_),
                                         ostrel_stream_from_stringbuf(sink, pool_), pool_);
  ASSERT_EQ(err, nullptr);
  EXPECT_EQ(std::string(sink->data, sink->len), big);
}

// A stream that cannot lend its bytes reads them into the caller's buffer;
// one that can hands out its own; reads and lends mix; 0 only at the end.
struct LendingString {
  std::string text;
  size_t pos = 0;
};

ostrel_error *lend_up_to_5(void *baton, char *, apr_size_t, const char **data, apr_size_t *len) {
  auto *s = static_cast<LendingString *>(baton);
  *len = std::min<size_t>(5, s->text.size() - s->pos);
  *data = s->text.data() + s->pos;
  s->pos += *len;
  return nullptr;
}

ostrel_error *read_lending(void *baton, char *buffer, apr_size_t *len) {
  auto *s = static_cast<LendingString *>(baton);
  *len = std::min<size_t>(*len, s->text.size() - s->pos);
  std::memcpy(buffer, s->text.data() + s->pos, *len);
  s->pos += *len;
  return nullptr;
}

TEST_F(PoolTest, StreamLendsOrReadsIntoTheBuffer) {
  const std::string text = "the quick brown fox";
  ostrel_string source{text.data(), text.size()};
  LendingString lending{text};
  ostrel_stream *lends = ostrel_stream_create(&lending, pool_);
  ostrel_stream_set_read(lends, read_lending);
  ostrel_stream_set_lend(lends, lend_up_to_5);
  struct {
    ostrel_stream *stream;
    bool lent;  // the bytes come from the stream, not the buffer
  } cases[] = {{ostrel_stream_from_string(&source, pool_), false}, {lends, true}};
  for (const auto &c : cases) {
    char buf[8];
    std::string got;
    const char *data = nullptr;
    apr_size_t len = 0;
    // One plain read first: the lends go on from where it stopped.
    len = 3;
    ASSERT_EQ(ostrel_stream_read_full(c.stream, buf, &len), nullptr);
    got.append(buf, len);
    for (int turns = 0; turns < 20; ++turns) {
      ASSERT_EQ(ostrel_stream_lend(c.stream, buf, sizeof buf, &data, &len), nullptr);
      if (len == 0) break;
      EXPECT_LE(len, c.lent ? 5u : sizeof buf);
      EXPECT_EQ(data == buf, !c.lent);
      got.append(data, len);
    }
    EXPECT_EQ(len, 0u) << "the end is reached";
    EXPECT_EQ(got, text);
    ASSERT_EQ(ostrel_stream_lend(c.stream, buf, sizeof buf, &data, &len), nullptr);
    EXPECT_EQ(len, 0u) << "and stays";
  }
  // A copy takes every lent piece, not only the first that falls short.
  LendingString again{text};
  ostrel_stream *from = ostrel_stream_create(&again, pool_);
  ostrel_stream_set_lend(from, lend_up_to_5);
  ostrel_stringbuf *sink = ostrel_stringbuf_create("", pool_);
  ASSERT_EQ(ostrel_stream_copy(from, ostrel_stream_from_stringbuf(sink, pool_), pool_), nullptr);
  EXPECT_EQ(std::string(sink->data, sink->len), text);
}

}  // namespace
