// The web view's parsers and escaping, case by case.
#include <gtest/gtest.h>

#include "html.h"
#include "http_input.h"

namespace ostreld {
namespace {

TEST(RangeHeader, EachFormAgainstABodySize) {
  struct Case {
    const char *header;
    std::uint64_t size;
    RangeResult result;
    std::uint64_t first, last;
  };
  const Case cases[] = {
      {nullptr, 10, RangeResult::whole, 0, 0},
      {"bytes=0-3", 10, RangeResult::partial, 0, 3},
      {"bytes=4-", 10, RangeResult::partial, 4, 9},
      {"bytes=5-100", 10, RangeResult::partial, 5, 9},
      {"bytes=-3", 10, RangeResult::partial, 7, 9},
      {"bytes=-30", 10, RangeResult::partial, 0, 9},
      {"bytes=10-", 10, RangeResult::unsatisfiable, 0, 0},
      {"bytes=-0", 10, RangeResult::unsatisfiable, 0, 0},
      {"bytes=3-1", 10, RangeResult::whole, 0, 0},
      {"bytes=0-1,3-4", 10, RangeResult::whole, 0, 0},
      {"items=0-1", 10, RangeResult::whole, 0, 0},
      {"bytes=x-1", 10, RangeResult::whole, 0, 0},
      {"bytes=99999999999999999999999-", 10, RangeResult::whole, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header ? c.header : "(none)");
    std::uint64_t first = 0, last = 0;
    EXPECT_EQ(parse_range(c.header, c.size, &first, &last), c.result);
    if (c.result == RangeResult::partial) {
      EXPECT_EQ(first, c.first);
      EXPECT_EQ(last, c.last);
    }
  }
}

TEST(QueryNumber, RangeAndForm) {
  long long v = 0;
  EXPECT_TRUE(parse_query_number("42", 0, 100, &v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(parse_query_number("-1", -1, 100, &v));
  EXPECT_EQ(v, -1);
  for (const char *bad : {"", "101", "-2", "4x", "+4", "0x10", "9999999999999999999"})
    EXPECT_FALSE(parse_query_number(bad, -1, 100, &v)) << bad;
  EXPECT_FALSE(parse_query_number(nullptr, -1, 100, &v));
}

TEST(HtmlWriter, EscapesEveryTextAndPath) {
  HtmlWriter h;
  h.markup("<p title=\"").text("\"'<>&").markup("\">").text("<script>alert(1)</script>");
  h.markup("<a href=\"").path("/a b/<x>\"/'q'").markup("\">");
  EXPECT_EQ(h.str(),
            "<p title=\"&quot;&#39;&lt;&gt;&amp;\">&lt;script&gt;alert(1)&lt;/script&gt;"
            "<a href=\"/a%20b/%3Cx%3E%22/%27q%27\">");
  HtmlWriter bad;
  bad.text("a\xff" "b");
  EXPECT_EQ(bad.str(), "a\xEF\xBF\xBD" "b");
}

TEST(JsonWriter, EscapesControlsQuotesAndMarkup) {
  JsonWriter j;
  j.string("a\"b\\c\n</script>");
  EXPECT_EQ(j.str(), "\"a\\u0022b\\u005cc\\u000a\\u003c/script\\u003e\"");
}

TEST(Sniffing, TextAndBinary) {
  EXPECT_TRUE(looks_like_text("plain\ntext\n"));
  EXPECT_TRUE(looks_like_text("caf\xc3\xa9"));
  EXPECT_TRUE(looks_like_text("cut \xc3"));  // a prefix that ends inside a character
  EXPECT_FALSE(looks_like_text(std::string("nul\0byte", 8)));
  EXPECT_FALSE(looks_like_text(std::string("\xff\xfe\x00", 3)));
  EXPECT_FALSE(looks_like_text("\xff"));
  EXPECT_FALSE(looks_like_text("cut \xc3x"));
  EXPECT_FALSE(looks_like_text("\x89PNG\r\n\x1a\n\xff\xff"));
}

}  // namespace
}  // namespace ostreld
