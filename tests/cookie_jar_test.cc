#include "korvo/cookie_jar.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "korvo/error.h"
#include "korvo/internal/cookie_store.h"
#include "support/log_capture.h"
#include "support/real_servers.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

using detail::CookieStore;
using detail::CookieTime;
using std::chrono::seconds;

CookieTime At(std::int64_t unix_seconds) { return CookieTime(seconds(unix_seconds)); }

// 2023-11-14 22:13:20 UTC: every test that looks at expiry runs at this time.
constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::int64_t kDay = 86'400;

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- The storage model, as the "Cookie" value of later requests shows it ----

struct HeaderCase {
  const char* rule;
  const char* origin;                     // where the fields came from
  std::vector<const char*> set_cookies;   // in order
  const char* request;                    // a later request
  const char* cookie;                     // what it carries
};

const std::vector<HeaderCase> kHeaderCases = {
    // Name and value.
    {"plain pair", "http://example.com/", {"a=1"}, "http://example.com/", "a=1"},
    {"blanks around name and value", "http://example.com/", {" a \t=  1 2 ;x"},
     "http://example.com/", "a=1 2"},
    {"first = splits", "http://example.com/", {"a=b=c"}, "http://example.com/", "a=b=c"},
    {"no = is a nameless value", "http://example.com/", {"token"}, "http://example.com/", "token"},
    {"empty name", "http://example.com/", {"=v"}, "http://example.com/", "v"},
    {"empty value", "http://example.com/", {"a="}, "http://example.com/", "a="},
    {"neither name nor value", "http://example.com/", {"=", " ; Path=/"}, "http://example.com/", ""},
    {"control character", "http://example.com/", {"a=1\x01", "b=2; Path=/\x7f"},
     "http://example.com/", ""},
    {"tab is no control", "http://example.com/", {"a=1\t2"}, "http://example.com/", "a=1\t2"},
    {"quotes are kept", "http://example.com/", {"a=\"q\""}, "http://example.com/", "a=\"q\""},
    // Attributes.
    {"attribute names in any case", "https://example.com/x/y", {"a=1; pAtH=/; SECURE; hTtPoNlY"},
     "https://example.com/", "a=1"},
    {"last Path wins", "http://example.com/", {"a=1; Path=/a; Path=/b"}, "http://example.com/b",
     "a=1"},
    {"last Path wins, earlier not sent", "http://example.com/", {"a=1; Path=/a; Path=/b"},
     "http://example.com/a", ""},
    {"unknown attributes ignored", "http://example.com/", {"a=1; Version=1; Comment=x; Foo"},
     "http://example.com/", "a=1"},
    // Expiry: Max-Age over Expires, in either order; past times delete.
    {"Max-Age=0 deletes", "http://example.com/", {"a=1", "a=2; Max-Age=0"}, "http://example.com/",
     ""},
    {"negative Max-Age deletes", "http://example.com/", {"a=1", "a=2; Max-Age=-5"},
     "http://example.com/", ""},
    {"Max-Age wins over a past Expires", "http://example.com/",
     {"a=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=60"}, "http://example.com/", "a=1"},
    {"Max-Age wins, either order", "http://example.com/",
     {"a=1; Max-Age=0; Expires=Fri, 01 Jan 2100 00:00:00 GMT"}, "http://example.com/", ""},
    {"past Expires deletes", "http://example.com/", {"a=1", "a=2; Expires=Sun, 06 Nov 1994 08:49:37 GMT"},
     "http://example.com/", ""},
    {"bad Max-Age ignored", "http://example.com/", {"a=1; Max-Age=1a", "b=2; Max-Age=", "c=3; Max-Age=-"},
     "http://example.com/", "a=1; b=2; c=3"},
    {"bad Expires ignored", "http://example.com/", {"a=1; Expires=yesterday"}, "http://example.com/",
     "a=1"},
    // Domain.
    {"host-only: not to subdomains", "http://example.com/", {"a=1"}, "http://www.example.com/", ""},
    {"host-only: host in any case", "http://EXAMPLE.com/", {"a=1"}, "http://example.COM/", "a=1"},
    {"Domain: to the domain", "http://www.example.com/", {"a=1; Domain=example.com"},
     "http://example.com/", "a=1"},
    {"Domain: to subdomains", "http://www.example.com/", {"a=1; Domain=example.com"},
     "http://x.y.example.com/", "a=1"},
    {"Domain: leading dot and case", "http://www.example.com/", {"a=1; Domain=.EXAMPLE.com"},
     "http://other.example.com/", "a=1"},
    {"Domain: not a label boundary", "http://www.example.com/", {"a=1; Domain=ample.com"},
     "http://www.example.com/", ""},
    {"Domain: another site", "http://www.example.com/", {"a=1; Domain=example.org"},
     "http://example.org/", ""},
    {"Domain: a subdomain of the host", "http://example.com/", {"a=1; Domain=www.example.com"},
     "http://www.example.com/", ""},
    {"Domain: empty is host-only", "http://www.example.com/", {"a=1; Domain=example.com; Domain="},
     "http://x.example.com/", ""},
    {"Domain: non-ASCII refused", "http://www.example.com/", {"a=1; Domain=ex\xc3\xa4mple.com"},
     "http://www.example.com/", ""},
    // Public suffixes.
    {"public suffix: com", "http://www.example.com/", {"a=1; Domain=com"}, "http://www.example.com/",
     ""},
    {"public suffix: co.uk", "http://www.example.co.uk/", {"a=1; Domain=co.uk"},
     "http://www.example.co.uk/", ""},
    {"public suffix: github.io", "http://user.github.io/", {"a=1; Domain=github.io"},
     "http://user.github.io/", ""},
    {"below a public suffix", "http://www.example.co.uk/", {"a=1; Domain=example.co.uk"},
     "http://shop.example.co.uk/", "a=1"},
    {"public suffix as the host: host-only", "http://github.io/", {"a=1; Domain=github.io"},
     "http://github.io/", "a=1"},
    {"public suffix as the host: not below", "http://github.io/", {"a=1; Domain=github.io"},
     "http://user.github.io/", ""},
    {"single label off the list: host-only", "http://intranet/", {"a=1; Domain=intranet"},
     "http://intranet/", "a=1"},
    // IP addresses.
    {"IP: host-only", "http://127.0.0.1/", {"a=1"}, "http://127.0.0.1/", "a=1"},
    {"IP: Domain equal to it", "http://127.0.0.1/", {"a=1; Domain=127.0.0.1"}, "http://127.0.0.1/",
     "a=1"},
    {"IP: suffix of the address", "http://127.0.0.1/", {"a=1; Domain=0.0.1"}, "http://127.0.0.1/",
     ""},
    {"IP: another address", "http://127.0.0.1/", {"a=1; Domain=127.0.0.2"}, "http://127.0.0.2/", ""},
    {"IP: from a name that ends like it", "http://01.127.0.0.1/", {"a=1; Domain=127.0.0.1"},
     "http://127.0.0.1/", ""},
    {"IPv6: Domain equal to it", "http://[::1]:8080/", {"a=1; Domain=::1", "b=2; Domain=[::1]"},
     "http://[::1]/", "a=1; b=2"},
    {"IPv6: not to another", "http://[::1]/", {"a=1"}, "http://[::2]/", ""},
    // Paths.
    {"default path: directory of the request", "http://example.com/a/b/c", {"a=1"},
     "http://example.com/a/b", "a=1"},
    {"default path: below it", "http://example.com/a/b/c", {"a=1"}, "http://example.com/a/b/d/e",
     "a=1"},
    {"default path: not above it", "http://example.com/a/b/c", {"a=1"}, "http://example.com/a",
     ""},
    {"default path: one segment is /", "http://example.com/a", {"a=1"}, "http://example.com/z",
     "a=1"},
    {"default path: no path is /", "http://example.com", {"a=1"}, "http://example.com/z", "a=1"},
    {"relative Path: default path", "http://example.com/a/b", {"a=1; Path=x"},
     "http://example.com/a", "a=1"},
    {"relative Path: default path, not above", "http://example.com/a/b", {"a=1; Path=x"},
     "http://example.com/", ""},
    {"path match: not a prefix of a segment", "http://example.com/", {"a=1; Path=/a"},
     "http://example.com/ab", ""},
    {"path match: the segment itself", "http://example.com/", {"a=1; Path=/a"},
     "http://example.com/a/", "a=1"},
    {"path match: trailing slash", "http://example.com/", {"a=1; Path=/a/"},
     "http://example.com/a", ""},
    {"path match: query is no path", "http://example.com/", {"a=1; Path=/a"},
     "http://example.com/a?x=/b", "a=1"},
    // Secure.
    {"Secure: not from http", "http://example.com/", {"a=1; Secure"}, "https://example.com/", ""},
    {"Secure: from https to https", "https://example.com/", {"a=1; Secure"}, "https://example.com/",
     "a=1"},
    {"Secure: never to http", "https://example.com/", {"a=1; Secure"}, "http://example.com/", ""},
    {"Secure: scheme in any case", "HTTPS://example.com/", {"a=1; Secure"}, "HtTpS://example.com/",
     "a=1"},
    {"non-secure to both", "https://example.com/", {"a=1"}, "http://example.com/", "a=1"},
    // HttpOnly: this client is no script; the cookie goes out.
    {"HttpOnly sent", "http://example.com/", {"a=1; HttpOnly"}, "http://example.com/", "a=1"},
    // SameSite: a client without sites sends as for a same-site request.
    {"SameSite=Strict sent", "http://example.com/", {"a=1; SameSite=Strict"}, "http://example.com/",
     "a=1"},
    {"SameSite=None needs Secure", "https://example.com/", {"a=1; SameSite=None"},
     "https://example.com/", ""},
    {"SameSite=None with Secure", "https://example.com/", {"a=1; SameSite=None; Secure"},
     "https://example.com/", "a=1"},
    {"SameSite unknown value", "http://example.com/", {"a=1; SameSite=Sometimes"},
     "http://example.com/", "a=1"},
    // Prefixes.
    {"__Secure-: without Secure", "https://example.com/", {"__Secure-a=1"}, "https://example.com/",
     ""},
    {"__Secure-: with Secure", "https://example.com/", {"__Secure-a=1; Secure; Domain=example.com"},
     "https://www.example.com/", "__Secure-a=1"},
    {"__Secure-: any case", "https://example.com/", {"__SECURE-a=1", "__secure-b=2; Secure"},
     "https://example.com/", "__secure-b=2"},
    {"__Secure-: Secure from http", "http://example.com/", {"__Secure-a=1; Secure"},
     "https://example.com/", ""},
    {"__Host-: Secure, Path=/, no Domain", "https://example.com/a/b", {"__Host-a=1; Secure; Path=/"},
     "https://example.com/", "__Host-a=1"},
    {"__Host-: with Domain", "https://example.com/", {"__Host-a=1; Secure; Path=/; Domain=example.com"},
     "https://example.com/", ""},
    {"__Host-: without Path", "https://example.com/", {"__Host-a=1; Secure"}, "https://example.com/",
     ""},
    {"__Host-: another Path", "https://example.com/", {"__Host-a=1; Secure; Path=/a"},
     "https://example.com/a", ""},
    {"__Host-: without Secure", "https://example.com/", {"__host-a=1; Path=/"},
     "https://example.com/", ""},
    {"__Host-: Domain equal to an IP is host-only", "https://127.0.0.1/",
     {"__Host-a=1; Secure; Path=/; Domain=127.0.0.1"}, "https://127.0.0.1/", "__Host-a=1"},
    {"prefix in a nameless value", "https://example.com/",
     {"__Host-a; Secure; Path=/", "__Secure-b; Secure", "=__host-c; Secure; Path=/"},
     "https://example.com/", ""},
    // Replacement and order.
    {"same name, domain, path: replaced", "http://example.com/", {"a=1", "b=2", "a=3"},
     "http://example.com/", "a=3; b=2"},
    {"same name, other path: both", "http://example.com/", {"a=1; Path=/", "a=2; Path=/x"},
     "http://example.com/x", "a=2; a=1"},
    {"same name, host-only and domain: both", "http://example.com/",
     {"a=1", "a=2; Domain=example.com"}, "http://example.com/", "a=1; a=2"},
    {"longer paths first, then older", "http://example.com/",
     {"c=3; Path=/", "b=2; Path=/a/b", "a=1; Path=/a", "d=4; Path=/a"},
     "http://example.com/a/b/c", "b=2; a=1; d=4; c=3"},
    // URLs a cookie cannot come from.
    {"URL without host", "http:///x", {"a=1"}, "http:///x", ""},
    {"host with a blank", "http://a b/", {"a=1"}, "http://a b/", ""},
    {"host with an empty label", "http://www..example.com/", {"a=1"}, "http://www..example.com/", ""},
    {"control character in the path", "http://example.com/a\nb/c", {"a=1"},
     "http://example.com/a\nb/c", ""},
};

TEST(CookieJarTest, CookieHeaderFollowsTheStorageModel) {
  for (const HeaderCase& row : kHeaderCases) {
    CookieJar jar;
    CookieStore& store = CookieJarAccess::Store(jar);
    for (const char* field : row.set_cookies) store.SetCookie(Url(row.origin), field, At(kNow));
    EXPECT_EQ(store.GetCookieHeader(Url(row.request), At(kNow)), row.cookie) << row.rule;
  }
}

// Rules whose fields need more than a literal: the size limits.
TEST(CookieJarTest, NameAndValueLimitIs4096Bytes) {
  CookieStore store;
  const Url url("http://example.com/");
  store.SetCookie(url, "n=" + std::string(4095, 'v'), At(kNow));        // 4096 in all
  store.SetCookie(url, "m=" + std::string(4096, 'v'), At(kNow));        // 4097
  store.SetCookie(url, std::string(4097, 'w'), At(kNow));               // nameless, 4097
  store.SetCookie(url, "p=1; Path=/" + std::string(1024, 'x'), At(kNow));  // attribute 1025
  const std::vector<Cookie> cookies = store.GetCookies(At(kNow));
  ASSERT_EQ(cookies.size(), 2u);
  EXPECT_EQ(cookies[0].name, "n");
  EXPECT_EQ(cookies[1].name, "p");
  EXPECT_EQ(cookies[1].path, "/") << "the long Path is ignored, not the cookie";
}

TEST(CookieJarTest, NonSecureOriginCannotShadowASecureCookie) {
  CookieStore store;
  store.SetCookie(Url("https://www.example.com/"), "a=secure; Secure; Domain=example.com; Path=/p",
                  At(kNow));
  // The same name for a domain that domain-matches, on a path the secure one covers.
  for (const char* field : {"a=1; Path=/p", "a=2; Domain=example.com; Path=/p/q",
                            "a=3; Domain=www.example.com; Path=/p"}) {
    EXPECT_FALSE(store.SetCookie(Url("http://www.example.com/"), field, At(kNow))) << field;
  }
  // Another path, another name, or a secure origin are fine.
  EXPECT_TRUE(store.SetCookie(Url("http://www.example.com/"), "a=4; Path=/", At(kNow)));
  EXPECT_TRUE(store.SetCookie(Url("http://www.example.com/"), "b=5; Path=/p", At(kNow)));
  EXPECT_TRUE(store.SetCookie(Url("https://www.example.com/"), "a=6; Path=/p", At(kNow)));
  EXPECT_EQ(store.GetCookieHeader(Url("https://www.example.com/p"), At(kNow)),
            "a=secure; b=5; a=6; a=4");
}

TEST(CookieJarTest, AttributesAreReported) {
  CookieStore store;
  store.SetCookie(Url("https://www.example.com/app/page"),
                  "sid=x; Domain=example.com; Secure; HttpOnly; SameSite=strict; Max-Age=3600",
                  At(kNow));
  store.SetCookie(Url("http://www.example.com/app/page"), "tmp=y; SameSite=bogus", At(kNow));
  const std::vector<Cookie> cookies = store.GetCookies(At(kNow));
  ASSERT_EQ(cookies.size(), 2u);
  EXPECT_EQ(cookies[0].name, "sid");
  EXPECT_EQ(cookies[0].value, "x");
  EXPECT_EQ(cookies[0].domain, "example.com");
  EXPECT_FALSE(cookies[0].host_only);
  EXPECT_EQ(cookies[0].path, "/app");
  EXPECT_TRUE(cookies[0].secure);
  EXPECT_TRUE(cookies[0].http_only);
  EXPECT_EQ(cookies[0].same_site, "Strict");
  EXPECT_EQ(cookies[0].expires, At(kNow + 3600));
  EXPECT_EQ(cookies[1].domain, "www.example.com");
  EXPECT_TRUE(cookies[1].host_only);
  EXPECT_FALSE(cookies[1].secure || cookies[1].http_only);
  EXPECT_EQ(cookies[1].same_site, "Default");
  EXPECT_EQ(cookies[1].expires, std::nullopt);
}

// ---- Dates (RFC 6265bis 5.1.1) ----

TEST(CookieJarTest, CookieDates) {
  constexpr std::int64_t k1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  struct {
    const char* text;
    std::optional<std::int64_t> seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},      // RFC 1123
      {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},     // RFC 850
      {"Sun Nov  6 08:49:37 1994", k1994},           // asctime
      {"Sun, 06-Nov-1994 08:49:37 GMT", k1994},      // Netscape's
      {"06 Nov 1994 08:49:37", k1994},               // no weekday, no zone
      {"1994 Nov 6 8:49:37", k1994},                 // any order, one-digit fields
      {"Nov 06 94 08:49:37 +0100", k1994},           // the zone is ignored
      {"sun, 06 NOVEMBER 1994 08:49:37 utc", k1994}, // month's first three letters, any case
      {"06/Nov/1994:08:49:37", std::nullopt},        // ":" joins the time to the year
      {"6 Nov 1994 08:49:37xyz", k1994},             // tails after a non-digit
      {"6th Nov 1994 08:49:37", k1994},
      {"Sun, 06 Nov 1994 08:49:37.123 GMT", k1994},  // a fraction after the seconds
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Thu, 01 Jan 70 00:00:00 GMT", 0},            // 70-99: 19xx
      {"Sat, 01 Jan 2000 00:00:00 GMT", 946684800},
      {"01 Jan 00 00:00:00", 946684800},             // 0-69: 20xx
      {"Tue, 29 Feb 2000 12:00:00 GMT", 951825600},  // a leap day
      {"Fri, 31 Dec 9999 23:59:59 GMT", 253402300799},
      {"Mon, 01 Jan 1601 00:00:00 GMT", -11644473600},
      {"Sun, 31 Dec 1600 23:59:59 GMT", std::nullopt},  // before 1601
      {"Thu, 29 Feb 2001 00:00:00 GMT", std::nullopt},  // no such day
      {"Sun, 31 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 32 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 00 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:60:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:60 GMT", std::nullopt},  // no leap seconds
      {"Sun, 06 Nov 1994 GMT", std::nullopt},           // no time
      {"Sun, Nov 1994 08:49:37 GMT", std::nullopt},     // no day
      {"Sun, 06 1994 08:49:37 GMT", std::nullopt},      // no month
      {"Sun, 06 Nov 08:49:37 GMT", std::nullopt},       // no year
      {"Sun, 06 Nov 19945 08:49:37 GMT", std::nullopt}, // five-digit year is no year
      {"Sun, 006 Nov 1994 08:49:37 GMT", std::nullopt}, // three digits make a year, no day
      {"Sun, 06 Nov 1994 008:49:37 GMT", std::nullopt}, // three-digit hour
      {"", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::ParseCookieDate(c.text), c.seconds) << c.text;
  }
}

// ---- Expiry and the lifetime cap, with the clock moved by hand ----

TEST(CookieJarTest, CookiesExpire) {
  CookieStore store;
  const Url url("http://example.com/");
  store.SetCookie(url, "max=1; Max-Age=60", At(kNow));
  store.SetCookie(url, "date=2; Expires=Tue, 14 Nov 2023 22:15:00 GMT", At(kNow));  // kNow + 100
  store.SetCookie(url, "session=3", At(kNow));
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow + 59)), "max=1; date=2; session=3");
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow + 60)), "date=2; session=3");
  EXPECT_EQ(store.Size(), 2u) << "an expired cookie is removed, not just withheld";
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow + 100)), "session=3");
  EXPECT_EQ(store.GetCookies(At(kNow + 100)).size(), 1u);
}

TEST(CookieJarTest, LifetimesAreCappedAt400Days) {
  CookieStore store;
  const Url url("http://example.com/");
  store.SetCookie(url, "a=1; Max-Age=99999999999999999999999999", At(kNow));
  store.SetCookie(url, "b=2; Expires=Fri, 31 Dec 9999 23:59:59 GMT", At(kNow));
  store.SetCookie(url, "c=3; Max-Age=86400", At(kNow));
  const std::vector<Cookie> cookies = store.GetCookies(At(kNow));
  ASSERT_EQ(cookies.size(), 3u);
  EXPECT_EQ(cookies[0].expires, At(kNow + 400 * kDay));
  EXPECT_EQ(cookies[1].expires, At(kNow + 400 * kDay));
  EXPECT_EQ(cookies[2].expires, At(kNow + kDay));
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow + 400 * kDay)), "");
}

TEST(CookieJarTest, ClearAndClearSessionCookies) {
  CookieStore store;
  const Url url("http://example.com/");
  store.SetCookie(url, "kept=1; Max-Age=60", At(kNow));
  store.SetCookie(url, "session=2", At(kNow));
  store.ClearSessionCookies();
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow)), "kept=1");
  store.Clear();
  EXPECT_EQ(store.GetCookieHeader(url, At(kNow)), "");
  EXPECT_EQ(store.Size(), 0u);
}

// ---- Public suffixes (Debian's list through libpsl) ----

TEST(CookieJarTest, PublicSuffixes) {
  for (const char* suffix : {"com", "uk", "co.uk", "github.io", "kawasaki.jp", "anything.kawasaki.jp",
                             "unlistedtld"}) {
    EXPECT_TRUE(detail::IsPublicSuffix(suffix)) << suffix;
  }
  for (const char* domain : {"example.com", "example.co.uk", "user.github.io", "city.kawasaki.jp"}) {
    EXPECT_FALSE(detail::IsPublicSuffix(domain)) << domain;
  }
}

// ---- Limits and eviction ----

TEST(CookieJarTest, FiftyCookiesPerDomainEvictingNonSecureLeastRecentlyUsedFirst) {
  CookieStore store;
  const Url url("https://example.com/");
  std::vector<std::string> names = {"secure"};
  store.SetCookie(url, "secure=s; Secure; Path=/s", At(kNow));
  // A path each, so that a request uses exactly one of them.
  for (int i = 0; i < 49; ++i) {
    names.push_back("c" + std::to_string(i));
    store.SetCookie(url, names.back() + "=v; Path=/p" + std::to_string(i), At(kNow));
  }
  ASSERT_EQ(store.Size(), 50u);
  EXPECT_EQ(store.GetCookieHeader(Url("https://example.com/p0"), At(kNow)), "c0=v");
  store.SetCookie(url, "new=v", At(kNow));
  // The secure cookie is the least recently used, c0 was just used: c1 goes.
  names.erase(names.begin() + 2);
  names.push_back("new");
  std::vector<std::string> held;
  for (const Cookie& cookie : store.GetCookies(At(kNow))) held.push_back(cookie.name);
  EXPECT_EQ(held, names);

  // A domain of secure cookies loses its least recently used secure cookie.
  CookieStore secure_only;
  for (int i = 0; i < 51; ++i) {
    secure_only.SetCookie(url, "s" + std::to_string(i) + "=v; Secure", At(kNow));
  }
  EXPECT_EQ(secure_only.Size(), 50u);
  EXPECT_EQ(secure_only.GetCookies(At(kNow)).front().name, "s1");
}

TEST(CookieJarTest, ThreeThousandCookiesInAllEvictingLeastRecentlyUsed) {
  CookieStore store;
  auto fill = [&](int domain) {
    const Url url("http://d" + std::to_string(domain) + ".example/");
    for (int i = 0; i < 50; ++i) store.SetCookie(url, "c" + std::to_string(i) + "=v", At(kNow));
  };
  for (int domain = 0; domain < 60; ++domain) fill(domain);
  EXPECT_EQ(store.Size(), 3000u);
  // Using the first domain's cookies makes them the most recently used, and the next
  // 50 cookies push out the oldest unused ones.
  store.GetCookieHeader(Url("http://d0.example/"), At(kNow));
  fill(60);
  EXPECT_EQ(store.Size(), 3000u);
  EXPECT_NE(store.GetCookieHeader(Url("http://d0.example/"), At(kNow)), "");
  // 50 of the oldest unused went: the whole of d1.
  EXPECT_EQ(store.GetCookieHeader(Url("http://d1.example/"), At(kNow)), "");
  EXPECT_NE(store.GetCookieHeader(Url("http://d2.example/"), At(kNow)), "");
  EXPECT_NE(store.GetCookieHeader(Url("http://d60.example/"), At(kNow)), "");
}

// ---- The cookie file ----

class CookieFileTest : public ::testing::Test {
 protected:
  std::filesystem::path File(const std::string& name) const { return scratch_.path() / name; }
  void WriteText(const std::string& name, const std::string& text) { scratch_.Write(name, text); }
  std::vector<std::filesystem::path> Files() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_.path())) {
      files.push_back(entry.path());
    }
    return files;
  }

  test::ScratchDir scratch_{"korvo-cookies-"};
};

TEST_F(CookieFileTest, SaveWritesTheNetscapeFormat) {
  CookieJar jar;
  CookieStore& store = CookieJarAccess::Store(jar);
  store.SetCookie(Url("https://www.example.com/a/b"),
                  "sid=x; Domain=example.com; Path=/; Secure; HttpOnly; Max-Age=3600", At(kNow));
  store.SetCookie(Url("http://127.0.0.1:8080/"), "plain=1 2", At(kNow));
  store.SetCookie(Url("http://www.example.com/"), "tab=a\tb", At(kNow));  // not representable
  store.Save(File("jar.txt"), At(kNow));
  const std::string text = ReadText(File("jar.txt"));
  EXPECT_EQ(text.rfind("# Netscape HTTP Cookie File\n", 0), 0u);
  EXPECT_NE(text.find("\n127.0.0.1\tFALSE\t/\tFALSE\t0\tplain\t1 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n#HttpOnly_.example.com\tTRUE\t/\tTRUE\t1700003600\tsid\tx\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("tab"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(File("jar.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "cookies are secrets";
}

TEST_F(CookieFileTest, RoundTrip) {
  CookieJar saved;
  CookieStore& out = CookieJarAccess::Store(saved);
  out.SetCookie(Url("https://www.example.com/a/b"),
                "sid=x; Domain=example.com; Secure; HttpOnly; Max-Age=3600", At(kNow));
  out.SetCookie(Url("http://127.0.0.1:8080/p/q"), "=nameless; Expires=Fri, 01 Jan 2100 00:00:00 GMT",
                At(kNow));
  out.SetCookie(Url("http://[::1]/"), "v6=1; Max-Age=60", At(kNow));
  out.SetCookie(Url("https://shop.example.com/"), "__Host-cart=3; Secure; Path=/; Max-Age=60",
                At(kNow));
  out.SetCookie(Url("http://www.example.com/"), "session=4", At(kNow));
  out.Save(File("jar.txt"), At(kNow));

  auto fields = [](std::vector<Cookie> cookies) {
    std::vector<std::string> rows;
    for (const Cookie& c : cookies) {
      std::ostringstream row;
      row << c.name << "=" << c.value << " " << c.domain << c.path << " " << c.host_only << c.secure
          << c.http_only << " "
          << (c.expires ? std::chrono::duration_cast<seconds>(c.expires->time_since_epoch()).count()
                        : -1);
      rows.push_back(row.str());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  CookieJar with_sessions;
  CookieJarAccess::Store(with_sessions).Load(File("jar.txt"), true, At(kNow + 1));
  EXPECT_EQ(fields(CookieJarAccess::Store(with_sessions).GetCookies(At(kNow + 1))),
            fields(out.GetCookies(At(kNow + 1))));

  CookieJar without;
  CookieJarAccess::Store(without).Load(File("jar.txt"), false, At(kNow + 1));
  EXPECT_EQ(CookieJarAccess::Store(without).Size(), 4u) << "no session cookie";
  // Sixty seconds on, those that lived sixty seconds are not read at all.
  CookieJar later;
  CookieJarAccess::Store(later).Load(File("jar.txt"), false, At(kNow + 60));
  EXPECT_EQ(CookieJarAccess::Store(later).Size(), 2u);
  EXPECT_EQ(CookieJarAccess::Store(later).GetCookieHeader(Url("https://a.example.com/a/x"),
                                                          At(kNow + 60)),
            "sid=x");
}

TEST_F(CookieFileTest, LoadMergesReplacesAndCaps) {
  WriteText("jar.txt",
            "# a comment\r\n"
            "\n"
            "  \t \n"
            "example.com\tFALSE\t/\tFALSE\t1800000000\ta\tfrom-file\n"
            ".example.com\ttrue\t/\tfalse\t99999999999999999999\tb\tfar\n"
            "#HttpOnly_example.com\tFALSE\t/x\tFALSE\t0\ts\tsession\r\n"
            "example.com\tFALSE\t/\tFALSE\t1000\told\tgone\n"
            ".com\tTRUE\t/\tFALSE\t1800000000\tsuffix\tno\n"
            "example.com\tFALSE\t/\tFALSE\t1800000000\t__Host-x\tnot-secure\n"
            "127.0.0.1\tTRUE\t/\tFALSE\t1800000000\tip\tyes\n");
  CookieJar jar;
  CookieStore& store = CookieJarAccess::Store(jar);
  store.SetCookie(Url("http://example.com/"), "a=held", At(kNow));
  store.SetCookie(Url("http://example.com/"), "c=kept", At(kNow));
  store.Load(File("jar.txt"), true, At(kNow));
  EXPECT_EQ(store.GetCookieHeader(Url("http://example.com/x"), At(kNow)),
            "s=session; a=from-file; c=kept; b=far");
  EXPECT_EQ(store.GetCookieHeader(Url("http://127.0.0.1/"), At(kNow)), "ip=yes");
  for (const Cookie& cookie : store.GetCookies(At(kNow))) {
    if (cookie.name == "b") {
      EXPECT_EQ(cookie.expires, At(kNow + 400 * kDay));
    } else if (cookie.name == "s") {
      EXPECT_TRUE(cookie.http_only && !cookie.expires);
    } else if (cookie.name == "ip") {
      EXPECT_TRUE(cookie.host_only);
    }
    EXPECT_EQ(cookie.same_site, "Default");
  }
}

TEST_F(CookieFileTest, CorruptFileFailsWithTheLineAndChangesNothing) {
  struct {
    const char* text;
    const char* where;
  } cases[] = {
      {"# Netscape HTTP Cookie File\n\nexample.com\tFALSE\t/\tFALSE\t0\ta\n", "line 3 "},
      {"example.com\tFALSE\t/\tFALSE\t0\ta\t1\n\nexample.com\tFALSE\t/\tFALSE\tsoon\tb\t2\n",
       "line 3 "},
      {"example.com\tFALSE\t/\tFALSE\t0\ta\t1\textra\n", "line 1 "},
      {"example.com FALSE / FALSE 0 a 1\n", "line 1 "},
      {"example.com\tFALSE\t/\tFALSE\t\ta\t1\n", "line 1 "},
      {"example.com\tFALSE\t/\tFALSE\t12x\ta\t1\n", "line 1 "},
      {"#HttpOnly_\n", "line 1 "},
  };
  for (const auto& c : cases) {
    WriteText("bad.txt", c.text);
    CookieJar jar;
    jar.SetCookie(Url("http://example.com/"), "held=1");
    try {
      jar.Load(File("bad.txt"), true);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kFileError);
      EXPECT_EQ(error.message(), "Cannot read the file");
      EXPECT_NE(error.detail().find(c.where), std::string::npos) << error.detail();
    }
    EXPECT_EQ(jar.GetCookieHeader(Url("http://example.com/")), "held=1") << c.text;
  }
  CookieJar jar;
  try {
    jar.Load(File("missing.txt"));
    ADD_FAILURE() << "a missing file loaded";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_NE(error.detail().find("missing.txt"), std::string::npos) << error.detail();
  }
}

TEST_F(CookieFileTest, SaveReplacesWholeOrNotAtAll) {
  CookieJar jar;
  jar.SetCookie(Url("http://example.com/"), "a=1; Max-Age=3600");
  WriteText("jar.txt", "old\n");
  jar.Save(File("jar.txt"));
  EXPECT_NE(ReadText(File("jar.txt")).find("\ta\t1\n"), std::string::npos);
  EXPECT_EQ(Files(), std::vector<std::filesystem::path>{File("jar.txt")})
      << "no temporary file is left";
  try {
    jar.Save(File("no-such-dir") / "jar.txt");
    ADD_FAILURE() << "saved into a missing directory";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kFileError);
    EXPECT_EQ(error.message(), "Cannot write the file");
  }
}

// The curl CLI's own cookie file, written as it talks to a loopback server.
TEST_F(CookieFileTest, LoadsWhatCurlWrote) {
  KORVO_REQUIRE_PROGRAM("/usr/bin/curl", "curl");
  test::ScriptedServer server(test::ScriptedServer::Respond(test::HttpResponse(
      200, "ok",
      "Set-Cookie: session=s1\r\n"
      "Set-Cookie: persistent=p1; Max-Age=3600\r\n"
      "Set-Cookie: secret=h1; HttpOnly; Path=/app\r\n")));
  const std::string file = File("curl.txt").string();
  const std::string url = server.Url("/app/page");
  // No .curlrc (-q first), no proxy from the environment, nothing written but the jar.
  std::vector<std::string> argv = {"/usr/bin/curl", "-q", "-s", "-S", "--noproxy", "*",
                                   "-o", "/dev/null", "-c", file, url};
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  std::string home = "HOME=" + scratch_.path().string();
  char* environment[] = {home.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environment), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "curl failed";

  // curl writes its cookies in an order of its own; all three share one path.
  auto sorted = [](const std::string& header) {
    std::vector<std::string> pairs;
    std::istringstream in(header);
    for (std::string pair; std::getline(in >> std::ws, pair, ';');) pairs.push_back(pair);
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  };
  CookieJar jar;
  jar.Load(file, true);
  EXPECT_EQ(sorted(jar.GetCookieHeader(Url(server.Url("/app/x")))),
            (std::vector<std::string>{"persistent=p1", "secret=h1", "session=s1"}))
      << ReadText(file);
  CookieJar persistent_only;
  persistent_only.Load(file);
  EXPECT_EQ(persistent_only.GetCookieHeader(Url(server.Url("/app/x"))), "persistent=p1");
  for (const Cookie& cookie : jar.GetCookies()) {
    EXPECT_EQ(cookie.domain, "127.0.0.1");
    EXPECT_TRUE(cookie.host_only);
    EXPECT_EQ(cookie.http_only, cookie.name == "secret");
  }
}

// ---- Threads and failures ----

// Eight threads set and read one jar at once; ThreadSanitizer checks the locking.
TEST(CookieJarTest, SharedByEightThreads) {
  auto jar = std::make_shared<CookieJar>();
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([jar, t] {
      const Url own("http://t" + std::to_string(t) + ".example.com/");
      const Url shared("http://www.example.com/");
      for (int i = 0; i < kRounds; ++i) {
        jar->SetCookie(own, "n" + std::to_string(i % 10) + "=" + std::to_string(i));
        jar->SetCookie(shared, "last=" + std::to_string(t) + "; Domain=example.com");
        jar->GetCookieHeader(own);
        if (i % 50 == 0) jar->GetCookies();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(jar->GetCookies().size(), kThreads * 10u + 1u);
  const std::string header = jar->GetCookieHeader(Url("http://t3.example.com/"));
  for (int n = 0; n < 10; ++n) {
    const std::string pair = "n" + std::to_string(n) + "=" + std::to_string(kRounds - 10 + n);
    EXPECT_NE(header.find(pair), std::string::npos) << pair << " in " << header;
  }
  EXPECT_NE(header.find("last="), std::string::npos) << header;
}

TEST(CookieJarTest, IgnoredFieldsLeaveAVerbRecordAndNoException) {
  test::LogCapture log;
  CookieJar jar;
  EXPECT_NO_THROW(jar.SetCookie(Url("http://www.example.co.uk/"), "a=1; Domain=co.uk"));
  EXPECT_NO_THROW(jar.SetCookie(Url("http://example.com/"), "bad\x01=1"));
  EXPECT_NO_THROW(jar.SetCookie(Url(""), "a=1"));
  int records = 0;
  for (const std::string& record : log.Records()) {
    test::LogRecord parsed;
    if (!test::ParseLogRecord(record, parsed) || parsed.message.find("ignored") == std::string::npos) {
      continue;
    }
    EXPECT_EQ(parsed.level, "VERB");
    EXPECT_EQ(parsed.message.find('\x01'), std::string::npos) << "no control reaches the log";
    ++records;
  }
  EXPECT_EQ(records, 3);
  EXPECT_TRUE(jar.GetCookies().empty());
}

}  // namespace
}  // namespace korvo
