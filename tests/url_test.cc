#include "korvo/url.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvo {
namespace {

struct Parts {
  std::string scheme, host, port, path, query;
};

Parts Parse(std::string_view text, bool encode = false) {
  Url url(text, encode);
  return {url.GetScheme(), url.GetHost(), url.GetPort(), url.GetPath(), url.GetQuery()};
}

void ExpectParts(std::string_view text, const Parts& expected, std::string_view fragment = "") {
  Parts actual = Parse(text);
  EXPECT_EQ(Url(text).GetFragment(), fragment) << text;
  EXPECT_EQ(actual.scheme, expected.scheme) << text;
  EXPECT_EQ(actual.host, expected.host) << text;
  EXPECT_EQ(actual.port, expected.port) << text;
  EXPECT_EQ(actual.path, expected.path) << text;
  EXPECT_EQ(actual.query, expected.query) << text;
}

TEST(UrlTest, SplitsIntoFiveParts) {
  ExpectParts("s://h:81/a/b?k=1&m=2", {"s", "h", "81", "/a/b", "k=1&m=2"});
  ExpectParts("s://h", {"s", "h", "", "", ""});
  ExpectParts("h/a", {"", "h", "", "/a", ""});
  ExpectParts("h?k=1", {"", "h", "", "", "k=1"});
  ExpectParts("s://h:81?k=1", {"s", "h", "81", "", "k=1"});
  ExpectParts("s://h/a?b?c", {"s", "h", "", "/a", "b?c"});
  ExpectParts("://h/", {"", "h", "", "/", ""});
  ExpectParts("", {"", "", "", "", ""});
  ExpectParts("s://h:/", {"s", "h", "", "/", ""});
  ExpectParts("s://h:abc/", {"s", "h", "abc", "/", ""});  // the port is not validated
}

TEST(UrlTest, Ipv6Literals) {
  ExpectParts("s://[2001:db8::1]:8080/", {"s", "[2001:db8::1]", "8080", "/", ""});
  ExpectParts("s://[2001:db8::1]/", {"s", "[2001:db8::1]", "", "/", ""});
  ExpectParts("s://[::1]", {"s", "[::1]", "", "", ""});
  ExpectParts("s://[::1]:9?q", {"s", "[::1]", "9", "", "q"});
}

// A "/" in a query or fragment must not end the host part there.
TEST(UrlTest, HostPartEndsAtSlashQuestionMarkOrHash) {
  ExpectParts("h?k=/v", {"", "h", "", "", "k=/v"});
  ExpectParts("http://example.org?next=/home", {"http", "example.org", "", "", "next=/home"});
  ExpectParts("s://u:p@h:81?q/r#f/g", {"s", "u:p@h", "81", "", "q/r"}, "f/g");
  ExpectParts("s://h#a/b", {"s", "h", "", "", ""}, "a/b");
  ExpectParts("s://[::1]:9#/x?y", {"s", "[::1]", "9", "", ""}, "/x?y");
}

TEST(UrlTest, LeadingWhiteSpaceDropsTrailingStays) {
  ExpectParts("  s://h/p", {"s", "h", "", "/p", ""});
  ExpectParts("\t\r\n s://h/p", {"s", "h", "", "/p", ""});
  ExpectParts("s://h/p  ", {"s", "h", "", "/p  ", ""});
}

// The fragment runs from the first "#" to the end, whatever it holds.
TEST(UrlTest, FragmentIsSplitOff) {
  ExpectParts("s://h/p#frag", {"s", "h", "", "/p", ""}, "frag");
  ExpectParts("s://h/p?a=1#frag", {"s", "h", "", "/p", "a=1"}, "frag");
  ExpectParts("s://h/p#f?a=1", {"s", "h", "", "/p", ""}, "f?a=1");
  ExpectParts("s://h/p?a?b#c#d", {"s", "h", "", "/p", "a?b"}, "c#d");
  ExpectParts("s://h/p?#", {"s", "h", "", "/p", ""});
  ExpectParts("#top", {"", "", "", "", ""}, "top");
}

TEST(UrlTest, EncodeBeforeParsing) {
  Url url("http://h/a b?q=\"x\"#c d", true);
  EXPECT_EQ(url.GetPath(), "/a%20b");
  EXPECT_EQ(url.GetQuery(), "q=%22x%22");
  EXPECT_EQ(url.GetFragment(), "c%20d");
}

TEST(UrlTest, ClearEmptiesEverything) {
  Url url("s://h:1/p?q#f");
  url.Clear();
  EXPECT_EQ(url.GetScheme() + url.GetHost() + url.GetPort() + url.GetPath() + url.GetQuery() +
                url.GetFragment(),
            "");
}

std::string Appended(std::string_view base, std::string_view piece, bool encode = false) {
  Url url(base);
  url.AppendPath(piece, encode);
  return url.GetPath();
}

TEST(UrlTest, AppendPathKeepsExactlyOneSlash) {
  EXPECT_EQ(Appended("s://h/a/", "/b"), "/a/b");
  EXPECT_EQ(Appended("s://h/a", "b"), "/a/b");
  EXPECT_EQ(Appended("s://h/a/", "b"), "/a/b");
  EXPECT_EQ(Appended("s://h/a", "/b"), "/a/b");
  EXPECT_EQ(Appended("s://h", "b"), "/b");
  EXPECT_EQ(Appended("s://h", "/b"), "/b");
  EXPECT_EQ(Appended("s://h/", "/b"), "/b");
  EXPECT_EQ(Appended("s://h/a", "/"), "/a");
  EXPECT_EQ(Appended("s://h/a", ""), "/a");
  EXPECT_EQ(Appended("s://h/a", "b c?", true), "/a/b%20c%3F");

  Url url("s://h?q=1");
  url.AppendPath("x").AppendPath("y/");
  EXPECT_EQ(url.GetPath(), "/x/y/");
  EXPECT_EQ(url.GetQuery(), "q=1");
}

TEST(UrlTest, AddQueryEncodesKeyAndValueSeparately) {
  Url url("s://h/p");
  url.AddQuery("k", "v 1", true);
  EXPECT_EQ(url.GetQuery(), "k=v%201");
  url.AddQuery("n", "2", false);
  EXPECT_EQ(url.GetQuery(), "k=v%201&n=2");
  url.AddQuery("a&b", "c=d+e", true);  // each stays one key, one value
  EXPECT_EQ(url.GetQuery(), "k=v%201&n=2&a%26b=c%3Dd%2Be");

  Url with_fragment("s://h/p#top");
  with_fragment.AddQuery("k", "v").AppendPath("q");
  EXPECT_EQ(with_fragment.GetPath(), "/p/q");
  EXPECT_EQ(with_fragment.GetQuery(), "k=v");
  EXPECT_EQ(with_fragment.GetFragment(), "top");
}

// Checks every byte value against the kept set of one encoder.
void ExpectKeptSet(std::string (*encode)(std::string_view), std::string_view kept_marks,
                   bool keep_alnum, bool keep_ascii) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 256; ++i) {
    char c = static_cast<char>(i);
    bool alnum = (i >= '0' && i <= '9') || (i >= 'A' && i <= 'Z') || (i >= 'a' && i <= 'z');
    bool kept = keep_ascii ? i < 0x80
                           : (keep_alnum && alnum) ||
                                 (i != 0 && kept_marks.find(c) != std::string_view::npos);
    std::string expected = kept ? std::string(1, c) : std::string{'%', kHex[i >> 4], kHex[i & 15]};
    EXPECT_EQ(encode(std::string_view(&c, 1)), expected) << "byte " << i;
  }
}

// RFC 3986 5.4: every normal and abnormal example, against the same base.
TEST(UrlTest, ResolveFollowsRfc3986) {
  const Url base("http://a/b/c/d;p?q");
  const std::pair<const char*, const char*> cases[] = {
      {"g", "http://a/b/c/g"},         {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},       {"/g", "http://a/g"},
      {"//g", "http://g"},             {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},     {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},     {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},       {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"}, {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},          {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},           {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},        {"../..", "http://a/"},
      {"../../", "http://a/"},         {"../../g", "http://a/g"},
      // Abnormal examples.
      {"../../../g", "http://a/g"},    {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},          {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},       {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},     {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},   {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"}, {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"}, {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"}, {"g#s/../x", "http://a/b/c/g#s/../x"},
      {"http:g", "http:g"},  // strict: a scheme makes the reference absolute
  };
  for (const auto& [reference, expected] : cases) {
    SCOPED_TRACE(reference);
    std::optional<Url> target = base.Resolve(reference);
    if (std::string_view(expected) == "http:g") {
      EXPECT_FALSE(target.has_value());  // no host: nothing a client can follow
      continue;
    }
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->ToString(), expected);
  }
}

// What a client following a Location needs beyond the examples.
TEST(UrlTest, ResolveForRedirects) {
  const Url base("https://example.org:8443/a/b?x=1#top");
  const std::pair<const char*, const char*> cases[] = {
      {"HTTP://Other.example/p", "HTTP://Other.example/p#top"},  // the fragment stays
      {"//cdn.example/x", "https://cdn.example/x#top"},
      {"/caf\xC3\xA9 menu", "https://example.org:8443/caf%C3%A9 menu#top"},
      {"c#frag", "https://example.org:8443/a/c#frag"},
      {"http://[::1]:8080/v6", "http://[::1]:8080/v6#top"},
      // Not for an HTTP client to follow.
      {"ftp://example.org/f", ""}, {"mailto:someone@example.org", ""},
      {"1http://example.org/", ""}, {"http://user:pw@example.org/", ""},
      {"http:///no-host", ""},
  };
  for (const auto& [reference, expected] : cases) {
    SCOPED_TRACE(reference);
    std::optional<Url> target = base.Resolve(reference);
    EXPECT_EQ(target ? target->ToString() : "", expected);
  }
  EXPECT_EQ(Url("http://a").Resolve("g")->ToString(), "http://a/g");  // empty base path
}

TEST(EncodeTest, KeptSetsOverAllBytes) {
  ExpectKeptSet(EncodeFull, "-._~:/?#[]@!$&'()*+,;=", true, false);
  ExpectKeptSet(EncodePath, "-._~!$&'()*,;=:@/", true, false);
  ExpectKeptSet(EncodeQuery, "-._~!$&'()*,;=:@/?", true, false);
  ExpectKeptSet(EncodeNonAscii, "", false, true);
}

TEST(EncodeTest, Examples) {
  EXPECT_EQ(EncodeQuery("a b+c%"), "a%20b%2Bc%25");
  EXPECT_EQ(EncodePath("x?y"), "x%3Fy");
  EXPECT_EQ(EncodeQuery("x?y"), "x?y");
  EXPECT_EQ(EncodeFull("100%"), "100%25");
  EXPECT_EQ(EncodeNonAscii("gr\xC3\xBC\xC3\x9F 100%"), "gr%C3%BC%C3%9F 100%");
  EXPECT_EQ(EncodePath(std::string("a\0b", 3)), "a%00b");
  for (auto encode : {EncodeFull, EncodePath, EncodeQuery, EncodeNonAscii}) {
    EXPECT_EQ(encode("\xE4"), "%E4");
    EXPECT_EQ(encode(""), "");
  }
}

TEST(DecodeTest, EscapesAndFailures) {
  EXPECT_EQ(Decode("a%2Fb"), "a/b");
  EXPECT_EQ(Decode("a%2fb"), "a/b");
  EXPECT_EQ(Decode("a+b"), "a+b");
  EXPECT_EQ(Decode("%00"), std::string(1, '\0'));
  EXPECT_EQ(Decode("%25%32"), "%2");  // decoded once, not twice
  // Malformed input comes back unchanged, never half decoded.
  for (std::string_view bad : {"a%2", "a%zzb", "%2F%", "%2F%g0", "%%41", "ok%2F\xE4"}) {
    EXPECT_EQ(Decode(bad), bad);
  }
}

TEST(DecodeTest, RoundTripsEncodersThatEscapePercent) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (auto encode : {EncodeFull, EncodePath, EncodeQuery}) {
    EXPECT_EQ(Decode(encode(bytes)), bytes);
  }
}

std::vector<UrlQuery::Pair> PairsOf(const UrlQuery& query) {
  return std::vector<UrlQuery::Pair>(query.begin(), query.end());
}

TEST(UrlQueryTest, AddKeepsFirstValueAndRenders) {
  UrlQuery query;
  EXPECT_EQ(query.ToString(true), "");
  query.Add("key1", "a").Add("key1", "b").Add("key2", "c d");
  EXPECT_EQ(query.ToString(true), "key1=a&key2=c%20d");
  EXPECT_EQ(query.ToString(false), "key1=a&key2=c d");
  EXPECT_EQ(query.Get("key1"), "a");
  // What is rendered parses back into the same pairs, whatever they hold.
  UrlQuery tricky;
  tricky.Add("a&b=c", "1+1=2 & more").Add("k", "%41#");
  EXPECT_EQ(tricky.ToString(true), "a%26b%3Dc=1%2B1%3D2%20%26%20more&k=%2541%23");
  EXPECT_EQ(PairsOf(UrlQuery(tricky.ToString(true))), PairsOf(tricky));
  // A form's "+" is a blank.
  EXPECT_EQ(UrlQuery("q=a+b%2Bc").Get("q"), "a b+c");
  EXPECT_EQ(query.Get("KEY1"), "");  // keys are case-sensitive
  query.Add("Key1", "x");
  EXPECT_EQ(query.size(), 3u);
}

TEST(UrlQueryTest, RemoveKeepsOrder) {
  UrlQuery query;
  query.Add("a", "1").Add("b", "2").Add("c", "3");
  query.Remove("b").Remove("missing");
  EXPECT_EQ(query.ToString(), "a=1&c=3");
  query.Remove("a").Remove("c");
  EXPECT_TRUE(query.empty());
  EXPECT_EQ(query.ToString(), "");
}

TEST(UrlQueryTest, ParsesDecodesAndKeepsDuplicates) {
  UrlQuery query("a=1&&b&c=%41");
  EXPECT_EQ(PairsOf(query), (std::vector<UrlQuery::Pair>{{"a", "1"}, {"c", "A"}}));

  UrlQuery duplicates("k=1&k=2&e=&=v&x=y=z");
  EXPECT_EQ(PairsOf(duplicates), (std::vector<UrlQuery::Pair>{
                                     {"k", "1"}, {"k", "2"}, {"e", ""}, {"", "v"}, {"x", "y=z"}}));
  EXPECT_EQ(duplicates.Get("k"), "1");
  EXPECT_TRUE(UrlQuery("").empty());
}

}  // namespace
}  // namespace korvo
