// Web addresses of release folders, as clients give them: no Windows call.
#include "transport/web_address.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/text.h"

namespace {

TEST(WebAddressTest, ReadsSchemeHostPortAndPathAndRefusesWhatCouldBeMisread) {
  struct Case {
    const char16_t* text;
    bool secure;
    const char16_t* host;
    std::uint16_t port;
    const char16_t* path;
  };
  const Case good[] = {
      {u"https://Cdn.Example.com/releases/kelvo//", true, u"Cdn.Example.com", 443,
       u"/releases/kelvo"},
      {u"HTTP://127.0.0.1:8080/r", false, u"127.0.0.1", 8080, u"/r"},
      {u"http://host", false, u"host", 80, u""},
      {u"https://host:65535/a-b_c.d~e", true, u"host", 65535, u"/a-b_c.d~e"},
  };
  for (const Case& c : good) {
    WebAddress a;
    ASSERT_TRUE(ParseWebAddress(c.text, a)) << test::Utf8(c.text);
    EXPECT_TRUE(IsWebAddress(c.text));
    EXPECT_EQ(std::make_tuple(a.secure, a.host, a.port, a.path),
              std::make_tuple(c.secure, WideString(c.host), c.port, WideString(c.path)))
        << test::Utf8(c.text);
  }
  // A "%" escape would be decoded by the server into a path the client never
  // checked: refused like a query or a fragment.
  for (const char16_t* bad :
       {u"http://", u"http://a b/", u"http://host:0/x", u"http://host:65536/", u"http://host:/x",
        u"http://host:123456/", u"http://user@host/", u"http://host/a?b", u"http://host/a#b",
        u"http://host/%2e%2e/x", u"http://host/a%20b", u"http://host/a\\b", u"http://h\u00e9/",
        u"http://host/\u00e9", u"ftp://host/x", u"", u"C:\\releases"}) {
    WebAddress a;
    a.host = u"untouched";
    EXPECT_FALSE(ParseWebAddress(bad, a)) << test::Utf8(bad);
    EXPECT_EQ(a.host, u"untouched") << test::Utf8(bad);
  }
  EXPECT_FALSE(IsWebAddress(u"C:\\releases"));
  EXPECT_FALSE(IsWebAddress(u"\\\\server\\share\\kelvo"));
}

}  // namespace
