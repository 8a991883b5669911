// CookieJar: the cookies a client has received, kept and sent back as RFC 6265bis's
// storage model says. A response's "Set-Cookie" fields go in with SetCookie (one field)
// or SetCookies (every field of a response); GetCookieHeader says what a request to a
// URL carries in its "Cookie" field. Load and Save read and write the Netscape cookie
// file that curl and wget use.
//
// The jar acts for a client without sites (no browser, no documents): every request
// counts as same-site, so SameSite is kept and reported but never withholds a cookie.
// Domain attributes that name a public suffix (libpsl's list: "co.uk", "github.io") are
// refused; a host that is an IP address gets host-only cookies only. A jar holds at most
// 50 cookies per domain and 3000 in all, and no cookie lives longer than 400 days.
//
// A "Set-Cookie" field that cannot be stored is ignored, with a VERB log record that
// says why; only Load and Save throw.
//
// Thread rules: every member may be called from any thread at any time; the jar locks
// itself. Share one jar between sessions (or threads) through std::shared_ptr.
#ifndef KORVO_COOKIE_JAR_H_
#define KORVO_COOKIE_JAR_H_

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvo/common.h"
#include "korvo/url.h"

namespace korvo {

namespace detail {
class CookieStore;  // korvo/internal/cookie_store.h
}  // namespace detail

// One stored cookie, as GetCookies reports it.
struct Cookie {
  std::string name;
  std::string value;
  // The host a host-only cookie came from, or the domain (without a leading ".") whose
  // hosts receive it.
  std::string domain;
  std::string path;
  bool host_only = true;
  bool secure = false;
  bool http_only = false;
  // "Strict", "Lax", "None", or "Default" when the attribute was absent or unknown (and
  // for every loaded cookie: the cookie file does not keep it).
  std::string same_site = "Default";
  // Nothing for a session cookie.
  std::optional<std::chrono::system_clock::time_point> expires;
};

class CookieJar {
 public:
  CookieJar();
  ~CookieJar();

  CookieJar(const CookieJar&) = delete;
  CookieJar& operator=(const CookieJar&) = delete;

  // Stores one "Set-Cookie" value as if received in a response from `url`.
  void SetCookie(const Url& url, std::string_view set_cookie);
  // Stores every "Set-Cookie" field of `headers` (a response's), in order.
  void SetCookies(const Url& url, const Headers& headers);

  // The "Cookie" value a request to `url` carries: "name=value" pairs joined by "; ",
  // longer paths first, then older cookies first. Empty when none applies.
  std::string GetCookieHeader(const Url& url);

  // Every cookie held and not yet expired.
  std::vector<Cookie> GetCookies() const;

  void Clear();
  // Removes the cookies without an expiry, as ending a browsing session does.
  void ClearSessionCookies();

  // Merges the cookies of a Netscape cookie file into the jar: a cookie with the same
  // name, domain and path replaces the one held. Session cookies (expiry 0) are read
  // only with `include_session_cookies`; expired ones are skipped. A missing file, or a
  // line that is neither blank, a comment nor seven tab-separated fields with a numeric
  // expiry, throws Error(kFileError, "Cannot read the file") with the line number in
  // detail(), and the jar stays as it was.
  void Load(const std::filesystem::path& path, bool include_session_cookies = false);

  // Writes every cookie, session cookies with expiry 0, to a new file beside `path`
  // (readable by the owner only) and renames it to `path`, so that the old file stays
  // whole until the new one is. A cookie with a tab in a field, which the format cannot
  // hold, is left out. Throws Error(kFileError, "Cannot write the file").
  void Save(const std::filesystem::path& path) const;

 private:
  friend struct CookieJarAccess;
  std::unique_ptr<detail::CookieStore> store_;
};

}  // namespace korvo

#endif  // KORVO_COOKIE_JAR_H_
