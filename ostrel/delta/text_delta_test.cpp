// Tests of ostrel_txdelta_send_stream: the windows a handler sees, the digest,
// and what happens when the stream or the handler fails.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel_delta.h"
#include "ostrel_pools.h"

namespace {

// A stream that yields SIZE pattern bytes without holding them, counts how
// often it is closed, and can fail its read once OFFSET reaches FAIL_AT.
struct PatternSource {
  ostrel_filesize size = 0;
  ostrel_filesize offset = 0;
  ostrel_filesize fail_at = -1;
  int closes = 0;
};

char pattern_byte(ostrel_filesize at) { return static_cast<char>((at * 7 + at / 4099) & 0xff); }

ostrel_error *pattern_read(void *baton, char *buffer, apr_size_t *len) {
  auto *src = static_cast<PatternSource *>(baton);
  if (src->fail_at >= 0 && src->offset >= src->fail_at)
    return ostrel_error_create(OSTREL_ERR_IO, nullptr, "disk went away");
  ostrel_filesize left = src->size - src->offset;
  // Short reads on purpose: the sender must still fill whole windows.
  apr_size_t n = std::min<apr_size_t>({*len, static_cast<apr_size_t>(left), 5000});
  for (apr_size_t i = 0; i < n; i++) buffer[i] = pattern_byte(src->offset + i);
  src->offset += n;
  *len = n;
  return OSTREL_NO_ERROR;
}

ostrel_error *pattern_close(void *baton) {
  static_cast<PatternSource *>(baton)->closes++;
  return OSTREL_NO_ERROR;
}

// Records what a handler saw, checking each byte against the pattern rather
// than keeping the text.
struct Receiver {
  ostrel_filesize received = 0;
  bool in_sequence = true;
  bool content_ok = true;
  apr_size_t largest = 0;
  int windows = 0;
  int ends = 0;
  int calls_after_end = 0;
  int fail_on_window = -1;  // fail when this many windows were seen
};

ostrel_error *receive(ostrel_txdelta_window *window, void *baton) {
  auto *r = static_cast<Receiver *>(baton);
  if (r->ends) r->calls_after_end++;
  if (!window) {
    r->ends++;
    return OSTREL_NO_ERROR;
  }
  if (r->windows == r->fail_on_window)
    return ostrel_error_create(OSTREL_ERR_IO, nullptr, "receiver full");
  r->windows++;
  if (window->offset != r->received) r->in_sequence = false;
  for (apr_size_t i = 0; i < window->len; i++)
    if (window->data[i] != pattern_byte(r->received + i)) r->content_ok = false;
  r->received += window->len;
  r->largest = std::max(r->largest, window->len);
  return OSTREL_NO_ERROR;
}

class SendStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = ostrel_pool_create(nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }

  ostrel_stream *make_stream(PatternSource *src) {
    ostrel_stream *stream = ostrel_stream_create(src, pool_);
    ostrel_stream_set_read(stream, pattern_read);
    ostrel_stream_set_close(stream, pattern_close);
    return stream;
  }

  apr_pool_t *pool_;
};

TEST_F(SendStreamTest, DeliversWholeTextInOrderedBoundedWindows) {
  const ostrel_filesize chunk = OSTREL_STREAM_CHUNK_SIZE;
  const ostrel_filesize sizes[] = {0, 1, chunk - 1, chunk, chunk + 1, 3 * chunk + 7};
  for (ostrel_filesize size : sizes) {
    SCOPED_TRACE(size);
    PatternSource src;
    src.size = size;
    Receiver r;
    ostrel_error *err = ostrel_txdelta_send_stream(make_stream(&src), receive, &r, nullptr, pool_);
    ASSERT_EQ(err, nullptr);
    EXPECT_EQ(r.received, size);
    EXPECT_TRUE(r.in_sequence);
    EXPECT_TRUE(r.content_ok);
    EXPECT_LE(r.largest, static_cast<apr_size_t>(chunk));
    EXPECT_EQ(r.windows, (size + chunk - 1) / chunk);  // windows are filled, not short reads
    EXPECT_EQ(r.ends, 1);
    EXPECT_EQ(r.calls_after_end, 0);
    EXPECT_EQ(src.closes, 1);
  }
}

TEST_F(SendStreamTest, DigestIsSha256OfTheText) {
  struct Case {
    const char *text;
    const char *sha256_hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ostrel_string *str = ostrel_string_create(c.text, pool_);
    std::string seen;
    auto collect = [](ostrel_txdelta_window *w, void *baton) -> ostrel_error * {
      if (w) static_cast<std::string *>(baton)->append(w->data, w->len);
      return OSTREL_NO_ERROR;
    };
    unsigned char digest[OSTREL_TXDELTA_DIGEST_SIZE];
    ASSERT_EQ(ostrel_txdelta_send_stream(ostrel_stream_from_string(str, pool_), collect, &seen,
                                         digest, pool_),
              nullptr);
    EXPECT_EQ(seen, c.text);
    std::string hex;
    for (unsigned char b : digest) {
      static const char digits[] = "0123456789abcdef";
      hex += digits[b >> 4];
      hex += digits[b & 15];
    }
    EXPECT_EQ(hex, c.sha256_hex);
  }
}

TEST_F(SendStreamTest, HandlerFailureStopsTheSendAndClosesTheStream) {
  PatternSource src;
  src.size = 5 * OSTREL_STREAM_CHUNK_SIZE;
  Receiver r;
  r.fail_on_window = 2;
  ostrel_error *err = ostrel_txdelta_send_stream(make_stream(&src), receive, &r, nullptr, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->message, "receiver full");
  ostrel_error_clear(err);
  EXPECT_EQ(r.windows, 2);
  EXPECT_EQ(r.ends, 0);  // no end-of-text after a failure
  EXPECT_EQ(src.closes, 1);
  EXPECT_LE(src.offset, 3 * OSTREL_STREAM_CHUNK_SIZE);  // stopped reading
}

TEST_F(SendStreamTest, ReadFailureNeverEndsTheTextAsIfComplete) {
  PatternSource src;
  src.size = 4 * OSTREL_STREAM_CHUNK_SIZE;
  src.fail_at = OSTREL_STREAM_CHUNK_SIZE + 10;
  Receiver r;
  ostrel_error *err = ostrel_txdelta_send_stream(make_stream(&src), receive, &r, nullptr, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_IO);
  ostrel_error_clear(err);
  // A receiver that saw the end would take a truncated text for the whole.
  EXPECT_EQ(r.ends, 0);
  EXPECT_EQ(src.closes, 1);
}

}  // namespace
