// Option helpers, configuration-option arguments, version checks and files.

#include "ostrel_opt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ostrel_cmdline.h"
#include "ostrel_io.h"
#include "ostrel_pools.h"
#include "ostrel_test_support.h"
#include "ostrel_version.h"

namespace {

using OptTest = ostrel_test::PoolTest;

TEST_F(OptTest, ParseRevprop) {
  struct {
    const char *spec;
    const char *name;   // nullptr: refused
    const char *value;
  } cases[] = {
      {"a=b", "a", "b"},
      {"name", "name", ""},
      {"n=", "n", ""},
      {"ns:x-y.z_1=v=w", "ns:x-y.z_1", "v=w"},
      {"_x=1", "_x", "1"},
      {":x=1", ":x", "1"},
      {"", nullptr, nullptr},
      {"=v", nullptr, nullptr},
      {"1abc=v", nullptr, nullptr},
      {"-a=v", nullptr, nullptr},
      {"a b=v", nullptr, nullptr},
      {"a/b", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    apr_hash_t *props = nullptr;
    ostrel_error *err = ostrel_opt_parse_revprop(&props, c.spec, pool_);
    if (!c.name) {
      ASSERT_NE(err, nullptr) << c.spec;
      EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_PROPERTY_NAME) << c.spec;
      EXPECT_EQ(props, nullptr) << "table untouched on error";
      ostrel_error_clear(err);
      continue;
    }
    ASSERT_EQ(err, nullptr) << c.spec;
    ASSERT_EQ(apr_hash_count(props), 1u);
    auto *value = static_cast<ostrel_string *>(apr_hash_get(props, c.name, APR_HASH_KEY_STRING));
    ASSERT_NE(value, nullptr) << c.spec;
    EXPECT_EQ(std::string(value->data, value->len), c.value) << c.spec;
  }
}

TEST_F(OptTest, ParseRevpropAccumulatesAndReplaces) {
  apr_hash_t *props = nullptr;
  ASSERT_EQ(ostrel_opt_parse_revprop(&props, "a=1", pool_), nullptr);
  ASSERT_EQ(ostrel_opt_parse_revprop(&props, "b=2", pool_), nullptr);
  ASSERT_EQ(ostrel_opt_parse_revprop(&props, "a=3", pool_), nullptr);
  EXPECT_EQ(apr_hash_count(props), 2u);
  auto *a = static_cast<ostrel_string *>(apr_hash_get(props, "a", APR_HASH_KEY_STRING));
  EXPECT_STREQ(a->data, "3");
}

TEST_F(OptTest, ParseConfigOption) {
  struct {
    const char *arg;
    const char *file, *section, *option, *value;  // file nullptr: refused
  } cases[] = {
      {"config:local:wait=5", "config", "local", "wait", "5"},
      {"config:local:wait=", "config", "local", "wait", ""},
      {"servers:global:url=http://h:80/x=y", "servers", "global", "url", "http://h:80/x=y"},
      {"config:local:wait", nullptr, nullptr, nullptr, nullptr},
      {"config:local", nullptr, nullptr, nullptr, nullptr},
      {":local:wait=5", nullptr, nullptr, nullptr, nullptr},
      {"config::wait=5", nullptr, nullptr, nullptr, nullptr},
      {"config:local:=5", nullptr, nullptr, nullptr, nullptr},
      {"config:local:a:b=5", nullptr, nullptr, nullptr, nullptr},
      {"", nullptr, nullptr, nullptr, nullptr},
  };
  for (const auto &c : cases) {
    apr_array_header_t *options = apr_array_make(pool_, 0, sizeof(ostrel_cmdline__config_argument *));
    ostrel_error *err = ostrel_cmdline__parse_config_option(options, c.arg, pool_);
    if (!c.file) {
      ASSERT_NE(err, nullptr) << c.arg;
      EXPECT_EQ(err->apr_err, OSTREL_ERR_BAD_CONFIG_OPTION);
      EXPECT_NE(std::string(err->message).find("FILE:SECTION:OPTION=[VALUE]"), std::string::npos);
      EXPECT_EQ(options->nelts, 0) << c.arg;
      ostrel_error_clear(err);
      continue;
    }
    ASSERT_EQ(err, nullptr) << c.arg;
    ASSERT_EQ(options->nelts, 1);
    auto *parsed = APR_ARRAY_IDX(options, 0, ostrel_cmdline__config_argument *);
    EXPECT_STREQ(parsed->file, c.file);
    EXPECT_STREQ(parsed->section, c.section);
    EXPECT_STREQ(parsed->option, c.option);
    EXPECT_STREQ(parsed->value, c.value);
  }
}

const ostrel_version kV1_7_3 = {1, 7, 3, "t"};
const ostrel_version kV1_6_9 = {1, 6, 9, "t"};
const ostrel_version kV2_7_0 = {2, 7, 0, "t"};
const ostrel_version *v173() { return &kV1_7_3; }
const ostrel_version *v169() { return &kV1_6_9; }
const ostrel_version *v270() { return &kV2_7_0; }

TEST(VersionCheck, CompatibilityRule) {
  const ostrel_version mine = {1, 7, 0, "me"};
  const ostrel_version_checklist good[] = {{"ostrel_subr", ostrel_subr_version},
                                           {"newer_patch", v173},
                                           {nullptr, nullptr}};
  EXPECT_EQ(ostrel_ver_check_list(&mine, good), nullptr);

  const ostrel_version_checklist bad[] = {{"older_minor", v169},
                                          {"fine", v173},
                                          {"other_major", v270},
                                          {nullptr, nullptr}};
  ostrel_error *err = ostrel_ver_check_list(&mine, bad);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->apr_err, OSTREL_ERR_VERSION_MISMATCH);
  std::string all;
  int links = 0;
  for (ostrel_error *e = err; e; e = e->child, ++links) all += std::string(e->message) + "\n";
  EXPECT_EQ(links, 2) << all;
  EXPECT_NE(all.find("'older_minor': found 1.6.9"), std::string::npos) << all;
  EXPECT_NE(all.find("'other_major': found 2.7.0"), std::string::npos) << all;
  EXPECT_NE(all.find("expected 1.7.0"), std::string::npos) << all;
  EXPECT_EQ(all.find("'fine'"), std::string::npos) << all;
  ostrel_error_clear(err);
}

class FileTest : public OptTest {
 protected:
  std::string temp_file(const std::string &contents) { return files_.write(contents, "ostrel-file"); }
  ostrel_test::TempFiles files_;
};

TEST_F(FileTest, WholeFileIncludingNulBytes) {
  std::string contents("line 1\r\n\0line 2", 15);
  std::string name = temp_file(contents);
  ostrel_stringbuf *buf = nullptr;
  ASSERT_EQ(ostrel_stringbuf_from_file2(&buf, name.c_str(), pool_), nullptr);
  EXPECT_EQ(std::string(buf->data, buf->len), contents);

  // Larger than one read chunk.
  std::string big(3 * OSTREL_STREAM_CHUNK_SIZE + 17, 'x');
  name = temp_file(big);
  ASSERT_EQ(ostrel_stringbuf_from_file2(&buf, name.c_str(), pool_), nullptr);
  EXPECT_EQ(buf->len, big.size());
}

TEST_F(FileTest, MissingFileNamesFileAndReason) {
  ostrel_stringbuf *buf = nullptr;
  ostrel_error *err = ostrel_stringbuf_from_file2(&buf, "/nonexistent/dir/f", pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->message, "Can't open file '/nonexistent/dir/f': No such file or directory");
  EXPECT_EQ(buf, nullptr);
  ostrel_error_clear(err);

  apr_file_t *file = nullptr;
  err = ostrel_io_file_open(&file, "/", APR_WRITE, APR_OS_DEFAULT, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->message).rfind("Can't open file '/': ", 0), 0u) << err->message;
  ostrel_error_clear(err);
}

TEST_F(FileTest, StreamOwnsOrDisownsTheFile) {
  std::string name = temp_file("hello world");
  for (bool disown : {false, true}) {
    apr_file_t *file = nullptr;
    ASSERT_EQ(ostrel_io_file_open(&file, name.c_str(), APR_READ, APR_OS_DEFAULT, pool_), nullptr);
    ostrel_stream *stream = ostrel_stream_from_aprfile2(file, disown, pool_);
    char buf[64];
    apr_size_t len = sizeof buf;
    ASSERT_EQ(ostrel_stream_read_full(stream, buf, &len), nullptr);
    EXPECT_EQ(std::string(buf, len), "hello world");
    ASSERT_EQ(ostrel_stream_close(stream), nullptr);
    // A disowned file is still open; an owned one is closed.
    apr_off_t offset = 0;
    apr_status_t status = apr_file_seek(file, APR_SET, &offset);
    if (disown) {
      EXPECT_EQ(status, APR_SUCCESS);
      apr_file_close(file);
    } else {
      EXPECT_NE(status, APR_SUCCESS);
    }
  }
}

// Reads of any size give the whole text once, then nothing, however often the
// reader asks again after the end (the stream stops calling the system then).
TEST_F(FileTest, StreamReadsInPiecesThenStaysAtTheEnd) {
  const std::string text = "0123456789ab";
  std::string name = temp_file(text);
  for (apr_size_t piece : {1, 4, 5, 12, 13}) {
    apr_file_t *file = nullptr;
    ASSERT_EQ(ostrel_io_file_open(&file, name.c_str(), APR_READ, APR_OS_DEFAULT, pool_), nullptr);
    ostrel_stream *stream = ostrel_stream_from_aprfile2(file, false, pool_);
    std::string got;
    char buf[16];
    for (int reads = 0; reads < 32; ++reads) {
      apr_size_t len = piece;
      ASSERT_EQ(ostrel_stream_read_full(stream, buf, &len), nullptr);
      got.append(buf, len);
    }
    EXPECT_EQ(got, text) << "pieces of " << piece;
    ASSERT_EQ(ostrel_stream_close(stream), nullptr);
  }
}

TEST_F(OptTest, ConsoleWriteFailureIsAnError) {
  FILE *full = std::fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  ostrel_error *err = ostrel_cmdline_fputs("text\n", full, pool_);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err->message), "Write error: No space left on device");
  ostrel_error_clear(err);
  std::fclose(full);
}

}  // namespace
