#include "wire.h"

#include <gtest/gtest.h>

#include "frames.h"

namespace ostrel_wire {
namespace {

std::string sample() {
  std::string out;
  frame::AddFile add;
  add.parent = 3;
  add.path = "a/b c";
  add.copy_rev = -1;
  add.id = 4;
  put(out, add);
  put(out, frame::Window{4, 0, Str("x\0y", 3)});
  put(out, frame::Finish{});
  return out;
}

// Checks the items of the sample's frames.
struct SampleCheck {
  std::string &window;
  void operator()(const frame::AddFile &add) {
    EXPECT_EQ(add.path, "a/b c");
    EXPECT_FALSE(add.copy_path.has_value());
    EXPECT_EQ(add.copy_rev, -1);
  }
  void operator()(const frame::Window &w) { window = std::string(w.data); }
  void operator()(const auto &) {}
};

// Feeding the same bytes in chunks of every size gives the same frames.
TEST(Wire, FramesSurviveAnyChunking) {
  const std::string bytes = sample();
  for (std::size_t chunk = 1; chunk <= bytes.size(); chunk++) {
    Decoder d;
    std::vector<char> tags;
    std::string window;
    Frame f;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      d.feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
      Status s;
      while ((s = d.next(f)) == Status::frame) {
        tags.push_back(f.tag);
        SampleCheck check{window};
        ASSERT_EQ(CommitRequestFrames::decode(f, check), "") << f.tag;
      }
      ASSERT_EQ(s, Status::need_more);
    }
    EXPECT_TRUE(d.at_boundary());
    EXPECT_EQ(tags, (std::vector<char>{frame::AddFile::kTag, frame::Window::kTag,
                                       frame::Finish::kTag}));
    EXPECT_EQ(window, std::string("x\0y", 3));
  }
}

TEST(Wire, MalformedInputIsRefused) {
  struct Case {
    const char *name;
    std::string bytes;
    const char *decoder_error;  // nullptr: decodes, then the frame set refuses
    const char *shape_error;
  };
  const std::string absent_len("\xff\xff\xff\xff", 4);
  const Case cases[] = {
      {"item size overruns its frame", std::string("c\0\0\0\5\0\0\0\x09x", 10),
       "item of 9 bytes overruns its frame", nullptr},
      {"frame ends inside an item's size", std::string("c\0\0\0\2\0\0", 7),
       "frame ends inside an item's size", nullptr},
      {"frame larger than the limit", std::string("w\0\x20\0\0", 5),
       "frame of 2097152 bytes is larger than the limit of 1048576 bytes", nullptr},
      {"tag of no commit frame", std::string("Z\0\0\0\0", 5), nullptr,
       "unexpected frame of tag 'Z'"},
      {"unprintable tag", std::string("\x01\0\0\0\0", 5), nullptr, "unexpected frame of tag 1"},
      {"too few items", std::string("c\0\0\0\0", 5), nullptr,
       "close_dir frame has 0 items; expected 1"},
      {"not a number", std::string("c\0\0\0\5\0\0\0\1x", 10), nullptr,
       "close_dir frame: item 1 is not a number"},
      {"required item absent", std::string("c\0\0\0\4", 5) + absent_len, nullptr,
       "close_dir frame lacks item 1"},
  };
  for (const Case &c : cases) {
    Decoder d;
    d.feed(c.bytes.data(), c.bytes.size());
    Frame f;
    Status s = d.next(f);
    if (c.decoder_error) {
      EXPECT_EQ(s, Status::error) << c.name;
      EXPECT_EQ(d.error(), c.decoder_error) << c.name;
      EXPECT_EQ(d.next(f), Status::error) << c.name << ": an error is final";
    } else {
      ASSERT_EQ(s, Status::frame) << c.name;
      EXPECT_EQ(CommitRequestFrames::check(f), c.shape_error) << c.name;
    }
  }
}

TEST(Wire, TruncatedStreamIsNotAtABoundary) {
  const std::string bytes = sample();
  Decoder d;
  d.feed(bytes.data(), bytes.size() - 1);
  Frame f;
  while (d.next(f) == Status::frame) {
  }
  EXPECT_FALSE(d.at_boundary());
}

}  // namespace
}  // namespace ostrel_wire
