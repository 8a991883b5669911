// CookieStore: what a CookieJar holds and the rules it keeps (RFC 6265bis section 5):
// the "Set-Cookie" parser, the storage model, the "Cookie" value, the limits and the
// Netscape cookie-file text. Every operation takes the time it happens at, so that
// expiry and the lifetime cap can be tested without waiting; CookieJar passes the
// system clock's. The free functions are the pieces the fuzz targets reach.
//
// Thread rules: every member may be called from any thread at the same time; one mutex
// guards the store, and no file is read or written while it is held. The free
// functions keep no state.
#ifndef KORVO_INTERNAL_COOKIE_STORE_H_
#define KORVO_INTERNAL_COOKIE_STORE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvo/common.h"
#include "korvo/cookie_jar.h"
#include "korvo/url.h"

namespace korvo {
namespace detail {

using CookieTime = std::chrono::system_clock::time_point;

class CookieStore {
 public:
  static constexpr std::size_t kMaxPerDomain = 50;
  static constexpr std::size_t kMaxCookies = 3000;
  static constexpr std::size_t kMaxNameValueSize = 4096;
  static constexpr std::size_t kMaxAttributeSize = 1024;
  static constexpr std::int64_t kMaxAgeSeconds = 400 * 24 * 3600;

  // False (with a VERB record) when the field is ignored.
  bool SetCookie(const Url& url, std::string_view set_cookie, CookieTime now);
  void SetCookies(const Url& url, const Headers& headers, CookieTime now);
  std::string GetCookieHeader(const Url& url, CookieTime now);
  std::vector<Cookie> GetCookies(CookieTime now);
  void Clear();
  void ClearSessionCookies();
  std::size_t Size();

  // The cookie file's text: LoadText throws as CookieJar::Load does, with `source` (the
  // file's name) in the detail, and changes nothing then.
  void LoadText(std::string_view text, bool include_session_cookies, CookieTime now,
                const std::string& source = "cookie file");
  std::string SaveText(CookieTime now);
  void Load(const std::filesystem::path& path, bool include_session_cookies, CookieTime now);
  void Save(const std::filesystem::path& path, CookieTime now);

 private:
  struct Entry {
    std::string name;
    std::string value;
    std::string domain;  // canonical host or cookie domain, lower case, no leading "."
    std::string path;
    bool host_only = true;
    bool secure = false;
    bool http_only = false;
    bool persistent = false;
    std::string same_site = "Default";
    std::int64_t expiry_ms = 0;  // since 1970; only for persistent cookies
    // Orders, not times: a counter ticks at every creation and use, so that two
    // cookies made within one clock tick still have an order.
    std::uint64_t created = 0;
    std::uint64_t last_access = 0;
  };

  // The storage steps that need the store: the secure cookie a non-secure origin may
  // not shadow, and the replacement of the cookie with the same identity. Called with
  // mutex_ held; the caller evicts.
  bool Insert(Entry entry, bool from_secure_origin, std::int64_t now_ms, std::string& reason);
  void PurgeExpired(std::int64_t now_ms);
  void EvictExcess();
  static Cookie ToCookie(const Entry& entry);

  std::mutex mutex_;
  // Cookies by their domain field, so that a request looks at its host's domains only.
  std::map<std::string, std::vector<Entry>> by_domain_;
  std::size_t count_ = 0;
  std::uint64_t tick_ = 0;
};

// Seconds since 1970 of a cookie date (RFC 6265bis 5.1.1), nothing when the text is not
// one.
std::optional<std::int64_t> ParseCookieDate(std::string_view text);

// Whether libpsl's list (Debian's publicsuffix data, or the copy libpsl carries) names
// `domain` (lower case) a public suffix; a name not on the list counts as one when it
// has a single label.
bool IsPublicSuffix(const std::string& domain);

}  // namespace detail

// Tests reach the store behind a jar to drive its clock.
struct CookieJarAccess {
  static detail::CookieStore& Store(CookieJar& jar) { return *jar.store_; }
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_COOKIE_STORE_H_
