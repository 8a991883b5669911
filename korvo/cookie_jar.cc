#include "korvo/cookie_jar.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpsl.h>
#include <unistd.h>

#include "korvo/error.h"
#include "korvo/internal/cookie_store.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {
namespace detail {

namespace {

constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kMaxAgeMs = CookieStore::kMaxAgeSeconds * kMsPerSecond;
// What an expiry in the past becomes: before any clock a jar is given.
constexpr std::int64_t kEarliestMs = std::numeric_limits<std::int64_t>::min() / 2;

std::int64_t ToMs(CookieTime time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::string_view TrimWsp(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The controls RFC 6265bis refuses anywhere in a cookie: all but the tab.
bool HasControl(std::string_view text) {
  for (unsigned char c : text) {
    if (c <= 0x08 || (c >= 0x0A && c <= 0x1F) || c == 0x7F) return true;
  }
  return false;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && AsciiIEquals(text.substr(0, prefix.size()), prefix);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Host names are compared in lower case and IPv6 addresses without their brackets.
std::string CanonicalHost(const Url& url) { return AsciiLower(StripBrackets(url.GetHost())); }

// Url takes any text for a host. A cookie's domain must fit a cookie-file line, whose
// reader takes one leading "." for the mark of a domain cookie: no empty label.
bool IsUsableHost(const std::string& host) {
  return !host.empty() && host.front() != '.' && host.find("..") == std::string::npos &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
         });
}

bool IsSecureScheme(const std::string& scheme) { return AsciiIEquals(scheme, "https"); }

// RFC 6265bis 5.1.3.
bool DomainMatch(const std::string& host, const std::string& domain) {
  if (host == domain) return true;
  return host.size() > domain.size() && EndsWith(host, domain) &&
         host[host.size() - domain.size() - 1] == '.' && !IsIpAddress(host);
}

// RFC 6265bis 5.1.4.
std::string DefaultPath(std::string_view uri_path) {
  if (uri_path.empty() || uri_path.front() != '/') return "/";
  const std::size_t last = uri_path.rfind('/');
  if (last == 0) return "/";
  return std::string(uri_path.substr(0, last));
}

bool PathMatch(std::string_view request_path, const std::string& cookie_path) {
  if (request_path == cookie_path) return true;
  if (request_path.size() <= cookie_path.size() ||
      request_path.substr(0, cookie_path.size()) != cookie_path) {
    return false;
  }
  return cookie_path.empty() || cookie_path.back() == '/' ||
         request_path[cookie_path.size()] == '/';
}

// For log records: a bounded text without controls, since what is logged is whatever a
// server sent.
std::string Printable(std::string_view text, std::size_t limit = 64) {
  std::string out;
  for (unsigned char c : text.substr(0, limit)) {
    out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  if (text.size() > limit) out += "...";
  return out;
}

// The query is left out of records: it may carry a secret as much as the cookie does.
std::string Origin(const Url& url) {
  return Printable(url.GetScheme() + "://" + url.GetHost() + url.GetPath(), 200);
}

// ---- Dates (RFC 6265bis 5.1.1) ----

bool IsDateDelimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) ||
         (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads `min` to `max` digits at `at` that are not followed by another digit.
bool ReadDigits(std::string_view token, std::size_t& at, std::size_t min, std::size_t max,
                int& value) {
  std::size_t count = 0;
  int result = 0;
  while (at + count < token.size() && IsDigit(token[at + count])) {
    if (++count > max) return false;
    result = result * 10 + (token[at + count - 1] - '0');
  }
  if (count < min) return false;
  at += count;
  value = result;
  return true;
}

// The productions' tails are ( non-digit *OCTET ): ReadDigits has already made sure that
// no digit follows, so anything may.
bool MatchTime(std::string_view token, int& hour, int& minute, int& second) {
  std::size_t at = 0;
  return ReadDigits(token, at, 1, 2, hour) && at < token.size() && token[at++] == ':' &&
         ReadDigits(token, at, 1, 2, minute) && at < token.size() && token[at++] == ':' &&
         ReadDigits(token, at, 1, 2, second);
}

bool MatchNumber(std::string_view token, std::size_t min, std::size_t max, int& value) {
  std::size_t at = 0;
  return ReadDigits(token, at, min, max, value);
}

bool MatchMonth(std::string_view token, int& month) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (token.size() < 3) return false;
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (AsciiIEquals(token.substr(0, 3), kMonths[i])) {
      month = static_cast<int>(i) + 1;
      return true;
    }
  }
  return false;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// ---- Public suffixes ----

const psl_ctx_t* PublicSuffixList() {
  // Loaded once and never freed: a jar used from a thread that outlives main() must
  // not find the list gone.
  static const psl_ctx_t* const list = []() -> const psl_ctx_t* {
    if (const psl_ctx_t* latest = psl_latest(nullptr)) return latest;
    const psl_ctx_t* builtin = psl_builtin();
    if (builtin == nullptr) {
      LOG_WARN("No public suffix list (libpsl has none built in and %s cannot be read): "
               "only single-label domains count as public suffixes",
               psl_dist_filename() != nullptr ? psl_dist_filename() : "its data file");
    }
    return builtin;
  }();
  return list;
}

}  // namespace

std::optional<std::int64_t> ParseCookieDate(std::string_view text) {
  bool found_time = false, found_day = false, found_month = false, found_year = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsDateDelimiter(static_cast<unsigned char>(text[at]))) ++at;
    const std::size_t start = at;
    while (at < text.size() && !IsDateDelimiter(static_cast<unsigned char>(text[at]))) ++at;
    if (at == start) break;
    const std::string_view token = text.substr(start, at - start);
    int h, m, s, value;
    if (!found_time && MatchTime(token, h, m, s)) {
      found_time = true;
      hour = h;
      minute = m;
      second = s;
    } else if (!found_day && MatchNumber(token, 1, 2, value)) {
      found_day = true;
      day = value;
    } else if (!found_month && MatchMonth(token, value)) {
      found_month = true;
      month = value;
    } else if (!found_year && MatchNumber(token, 2, 4, value)) {
      found_year = true;
      year = value;
    }
  }
  if (year >= 70 && year <= 99) {
    year += 1900;
  } else if (year >= 0 && year <= 69) {
    year += 2000;
  }
  if (!found_time || !found_day || !found_month || !found_year) return std::nullopt;
  if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  if (day > DaysInMonth(year, month)) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

bool IsPublicSuffix(const std::string& domain) {
  const psl_ctx_t* list = PublicSuffixList();
  if (list == nullptr) return domain.find('.') == std::string::npos;
  return psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY) != 0;
}

namespace {

// What a "Set-Cookie" field says, after the parsing of RFC 6265bis 5.6: each attribute
// as its last valid occurrence left it.
struct SetCookieFields {
  std::string name;
  std::string value;
  std::optional<std::int64_t> max_age_ms;  // expiry times, absolute
  std::optional<std::int64_t> expires_ms;
  std::optional<std::string> domain;
  std::optional<std::string> path;
  bool secure = false;
  bool http_only = false;
  std::string same_site = "Default";
};

// Never more than the lifetime cap from now.
std::int64_t CapExpiry(std::int64_t expiry_ms, std::int64_t now_ms) {
  return expiry_ms - now_ms > kMaxAgeMs ? now_ms + kMaxAgeMs : expiry_ms;
}

void ApplyAttribute(std::string_view name, std::string_view value, std::string_view uri_path,
                    std::int64_t now_ms, SetCookieFields& fields) {
  if (AsciiIEquals(name, "expires")) {
    if (auto seconds = ParseCookieDate(value)) {
      // Dates run from 1601 to 9999: seconds times 1000 stays far inside 64 bits.
      fields.expires_ms = CapExpiry(*seconds * kMsPerSecond, now_ms);
    }
  } else if (AsciiIEquals(name, "max-age")) {
    if (value.empty() || !(IsDigit(value.front()) || value.front() == '-')) return;
    std::string_view digits = value.front() == '-' ? value.substr(1) : value;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) return;
    // Anything beyond the cap is the cap, however many digits it has.
    std::int64_t seconds = 0;
    for (char c : digits) {
      seconds = std::min<std::int64_t>(seconds * 10 + (c - '0'), CookieStore::kMaxAgeSeconds);
    }
    if (value.front() == '-' || seconds == 0) {
      fields.max_age_ms = kEarliestMs;
    } else {
      fields.max_age_ms = now_ms + seconds * kMsPerSecond;
    }
  } else if (AsciiIEquals(name, "domain")) {
    if (!value.empty() && value.front() == '.') value.remove_prefix(1);
    fields.domain = AsciiLower(value);
  } else if (AsciiIEquals(name, "path")) {
    fields.path =
        value.empty() || value.front() != '/' ? DefaultPath(uri_path) : std::string(value);
  } else if (AsciiIEquals(name, "secure")) {
    fields.secure = true;
  } else if (AsciiIEquals(name, "httponly")) {
    fields.http_only = true;
  } else if (AsciiIEquals(name, "samesite")) {
    fields.same_site = "Default";
    for (const char* enforcement : {"None", "Strict", "Lax"}) {
      if (AsciiIEquals(value, enforcement)) fields.same_site = enforcement;
    }
  }
  // Any other attribute is ignored.
}

// RFC 6265bis 5.6; false (with the reason) when the field is to be ignored entirely.
bool ParseSetCookie(std::string_view text, std::string_view uri_path, std::int64_t now_ms,
                    SetCookieFields& fields, std::string& reason) {
  if (HasControl(text)) {
    reason = "it holds a control character";
    return false;
  }
  const std::size_t semicolon = text.find(';');
  const std::string_view pair = text.substr(0, semicolon);
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos) {
    fields.value = std::string(TrimWsp(pair));
  } else {
    fields.name = std::string(TrimWsp(pair.substr(0, equals)));
    fields.value = std::string(TrimWsp(pair.substr(equals + 1)));
  }
  if (fields.name.empty() && fields.value.empty()) {
    reason = "it has neither name nor value";
    return false;
  }
  if (fields.name.size() + fields.value.size() > CookieStore::kMaxNameValueSize) {
    reason = "name and value exceed 4096 bytes";
    return false;
  }
  std::string_view rest = semicolon == std::string_view::npos ? std::string_view()
                                                              : text.substr(semicolon + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    const std::string_view av = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const std::size_t av_equals = av.find('=');
    const std::string_view name = TrimWsp(av.substr(0, av_equals));
    const std::string_view value = av_equals == std::string_view::npos
                                       ? std::string_view()
                                       : TrimWsp(av.substr(av_equals + 1));
    if (value.size() > CookieStore::kMaxAttributeSize) continue;
    ApplyAttribute(name, value, uri_path, now_ms, fields);
  }
  return true;
}

}  // namespace

bool CookieStore::SetCookie(const Url& url, std::string_view set_cookie, CookieTime now) {
  const std::int64_t now_ms = ToMs(now);
  const std::string host = CanonicalHost(url);
  const bool secure_origin = IsSecureScheme(url.GetScheme());
  SetCookieFields fields;
  std::string reason;
  auto ignore = [&]() {
    LOG_VERB("Set-Cookie \"%s\" from %s ignored: %s", Printable(fields.name).c_str(),
             Origin(url).c_str(), reason.c_str());
    return false;
  };
  if (!IsUsableHost(host)) {
    reason = "the URL has no usable host";
    return ignore();
  }
  // Url takes any text for a path too, and the default path comes from it.
  if (HasControl(url.GetPath())) {
    reason = "the URL's path holds a control character";
    return ignore();
  }
  if (!ParseSetCookie(set_cookie, url.GetPath(), now_ms, fields, reason)) return ignore();

  // RFC 6265bis 5.7, the steps that need no store.
  Entry entry;
  entry.name = fields.name;  // the record of an ignored field still names it
  entry.value = std::move(fields.value);
  if (fields.max_age_ms || fields.expires_ms) {
    entry.persistent = true;
    entry.expiry_ms = fields.max_age_ms ? *fields.max_age_ms : *fields.expires_ms;
  }
  std::string domain = fields.domain.value_or(std::string());
  if (!IsAscii(domain)) {
    reason = "Domain \"" + Printable(domain) + "\" is not ASCII";
    return ignore();
  }
  if (!domain.empty() && IsIpAddress(host)) {
    // An address has no subdomains: a Domain naming it is the host-only cookie.
    if (StripBrackets(domain) != host) {
      reason = "Domain \"" + Printable(domain) + "\" is not the address it came from";
      return ignore();
    }
    domain.clear();
  } else if (!domain.empty() && IsIpAddress(StripBrackets(domain))) {
    // A name that ends like an address ("01.127.0.0.1") domain-matches it, but a
    // cookie for an address comes from that address alone.
    reason = "Domain \"" + Printable(domain) + "\" is an address, not the host";
    return ignore();
  } else if (!domain.empty() && IsPublicSuffix(domain)) {
    // The host itself may still set a cookie for itself alone.
    if (domain != host) {
      reason = "Domain \"" + Printable(domain) + "\" is a public suffix";
      return ignore();
    }
    domain.clear();
  }
  if (domain.empty()) {
    entry.host_only = true;
    entry.domain = host;
  } else if (!DomainMatch(host, domain)) {
    reason = "Domain \"" + Printable(domain) + "\" does not match the host";
    return ignore();
  } else {
    entry.host_only = false;
    entry.domain = std::move(domain);
  }
  entry.path = fields.path ? *fields.path : DefaultPath(url.GetPath());
  entry.secure = fields.secure;
  if (entry.secure && !secure_origin) {
    reason = "Secure from a non-secure origin";
    return ignore();
  }
  entry.http_only = fields.http_only;
  entry.same_site = fields.same_site;
  if (entry.same_site == "None" && !entry.secure) {
    reason = "SameSite=None without Secure";
    return ignore();
  }
  if (StartsWithIgnoreCase(entry.name, "__Secure-") && !entry.secure) {
    reason = "a __Secure- name without Secure";
    return ignore();
  }
  if (StartsWithIgnoreCase(entry.name, "__Host-") &&
      !(entry.secure && entry.host_only && fields.path && *fields.path == "/")) {
    reason = "a __Host- name without Secure, Path=/ and no Domain";
    return ignore();
  }
  if (entry.name.empty() && (StartsWithIgnoreCase(entry.value, "__Secure-") ||
                             StartsWithIgnoreCase(entry.value, "__Host-"))) {
    reason = "a nameless cookie whose value starts with a name prefix";
    return ignore();
  }

  std::lock_guard<std::mutex> lock(mutex_);
  PurgeExpired(now_ms);
  if (!Insert(std::move(entry), secure_origin, now_ms, reason)) return ignore();
  EvictExcess();
  return true;
}

void CookieStore::SetCookies(const Url& url, const Headers& headers, CookieTime now) {
  for (const auto& field : headers) {
    if (AsciiIEquals(field.first, "Set-Cookie")) SetCookie(url, field.second, now);
  }
}

bool CookieStore::Insert(Entry entry, bool from_secure_origin, std::int64_t now_ms,
                         std::string& reason) {
  if (!entry.secure && !from_secure_origin) {
    // RFC 6265bis 5.7 step 14: a non-secure origin may not overwrite, or shadow, a
    // secure cookie of the same name for the same domains and path.
    for (const auto& [domain, list] : by_domain_) {
      if (!DomainMatch(domain, entry.domain) && !DomainMatch(entry.domain, domain)) continue;
      for (const Entry& held : list) {
        if (held.secure && held.name == entry.name && PathMatch(entry.path, held.path)) {
          reason = "it would overwrite a Secure cookie from a non-secure origin";
          return false;
        }
      }
    }
  }
  std::vector<Entry>& list = by_domain_[entry.domain];
  auto old = std::find_if(list.begin(), list.end(), [&](const Entry& held) {
    return held.name == entry.name && held.host_only == entry.host_only && held.path == entry.path;
  });
  if (old != list.end()) {
    entry.created = old->created;
    list.erase(old);
    --count_;
  } else {
    entry.created = ++tick_;
  }
  entry.last_access = ++tick_;
  // An expired cookie only deletes the one it replaces.
  if (entry.persistent && entry.expiry_ms <= now_ms) {
    if (list.empty()) by_domain_.erase(entry.domain);
    return true;
  }
  list.push_back(std::move(entry));
  ++count_;
  return true;
}

void CookieStore::PurgeExpired(std::int64_t now_ms) {
  for (auto it = by_domain_.begin(); it != by_domain_.end();) {
    std::vector<Entry>& list = it->second;
    const auto end = std::remove_if(list.begin(), list.end(), [now_ms](const Entry& entry) {
      return entry.persistent && entry.expiry_ms <= now_ms;
    });
    count_ -= static_cast<std::size_t>(list.end() - end);
    list.erase(end, list.end());
    it = list.empty() ? by_domain_.erase(it) : std::next(it);
  }
}

// RFC 6265bis 5.7's order of eviction: expired cookies (already gone), then the
// non-secure cookies of a domain over its limit, then its secure ones, then the least
// recently used of all; within each, the least recently used first.
void CookieStore::EvictExcess() {
  for (auto& [domain, list] : by_domain_) {
    if (list.size() <= kMaxPerDomain) continue;
    std::sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) {
      if (a.secure != b.secure) return !a.secure;
      return a.last_access < b.last_access;
    });
    const std::size_t excess = list.size() - kMaxPerDomain;
    list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(excess));
    count_ -= excess;
  }
  if (count_ <= kMaxCookies) return;
  // Uses are ticks of one counter, so no two cookies share one: everything below the
  // excess-th is exactly the excess.
  std::vector<std::uint64_t> uses;
  uses.reserve(count_);
  for (const auto& [domain, list] : by_domain_) {
    for (const Entry& entry : list) uses.push_back(entry.last_access);
  }
  const std::size_t excess = count_ - kMaxCookies;
  std::nth_element(uses.begin(), uses.begin() + static_cast<std::ptrdiff_t>(excess), uses.end());
  const std::uint64_t keep_from = uses[excess];
  for (auto it = by_domain_.begin(); it != by_domain_.end();) {
    std::vector<Entry>& list = it->second;
    const auto end = std::remove_if(list.begin(), list.end(), [keep_from](const Entry& entry) {
      return entry.last_access < keep_from;
    });
    count_ -= static_cast<std::size_t>(list.end() - end);
    list.erase(end, list.end());
    it = list.empty() ? by_domain_.erase(it) : std::next(it);
  }
}

std::string CookieStore::GetCookieHeader(const Url& url, CookieTime now) {
  const std::string host = CanonicalHost(url);
  if (!IsUsableHost(host)) return {};
  const bool secure = IsSecureScheme(url.GetScheme());
  const std::string_view path = url.GetPath().empty() ? std::string_view("/") : url.GetPath();

  std::lock_guard<std::mutex> lock(mutex_);
  PurgeExpired(ToMs(now));
  std::vector<Entry*> matches;
  // Only the host's own domain field and those of its parent domains can match.
  auto collect = [&](const std::string& domain, bool is_host) {
    auto it = by_domain_.find(domain);
    if (it == by_domain_.end()) return;
    for (Entry& entry : it->second) {
      if (entry.host_only && !is_host) continue;
      if (entry.secure && !secure) continue;
      if (!PathMatch(path, entry.path)) continue;
      matches.push_back(&entry);
    }
  };
  collect(host, true);
  if (!IsIpAddress(host)) {
    for (std::size_t dot = host.find('.'); dot != std::string::npos;
         dot = host.find('.', dot + 1)) {
      collect(host.substr(dot + 1), false);
    }
  }
  std::sort(matches.begin(), matches.end(), [](const Entry* a, const Entry* b) {
    if (a->path.size() != b->path.size()) return a->path.size() > b->path.size();
    return a->created < b->created;
  });
  std::string header;
  for (Entry* entry : matches) {
    entry->last_access = ++tick_;
    if (!header.empty()) header += "; ";
    if (!entry->name.empty()) {
      header += entry->name;
      header += '=';
    }
    header += entry->value;
  }
  return header;
}

Cookie CookieStore::ToCookie(const Entry& entry) {
  Cookie cookie;
  cookie.name = entry.name;
  cookie.value = entry.value;
  cookie.domain = entry.domain;
  cookie.path = entry.path;
  cookie.host_only = entry.host_only;
  cookie.secure = entry.secure;
  cookie.http_only = entry.http_only;
  cookie.same_site = entry.same_site;
  if (entry.persistent) {
    using Duration = std::chrono::system_clock::duration;
    // The clock's range is narrower than milliseconds' (some 292 years either side of
    // 1970 in nanoseconds).
    constexpr std::int64_t kLimitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Duration::max()).count();
    const std::int64_t ms = std::clamp(entry.expiry_ms, -kLimitMs, kLimitMs);
    cookie.expires = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<Duration>(std::chrono::milliseconds(ms)));
  }
  return cookie;
}

std::vector<Cookie> CookieStore::GetCookies(CookieTime now) {
  std::lock_guard<std::mutex> lock(mutex_);
  PurgeExpired(ToMs(now));
  std::vector<const Entry*> entries;
  for (const auto& [domain, list] : by_domain_) {
    for (const Entry& entry : list) entries.push_back(&entry);
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry* a, const Entry* b) { return a->created < b->created; });
  std::vector<Cookie> cookies;
  cookies.reserve(entries.size());
  for (const Entry* entry : entries) cookies.push_back(ToCookie(*entry));
  return cookies;
}

void CookieStore::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  by_domain_.clear();
  count_ = 0;
}

void CookieStore::ClearSessionCookies() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = by_domain_.begin(); it != by_domain_.end();) {
    std::vector<Entry>& list = it->second;
    const auto end = std::remove_if(list.begin(), list.end(),
                                    [](const Entry& entry) { return !entry.persistent; });
    count_ -= static_cast<std::size_t>(list.end() - end);
    list.erase(end, list.end());
    it = list.empty() ? by_domain_.erase(it) : std::next(it);
  }
}

std::size_t CookieStore::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

// ---- The Netscape cookie file ----
//
// One cookie a line, seven fields separated by tabs: domain (with a leading "." when
// subdomains receive it), "TRUE" when they do, path, "TRUE" for a secure cookie, expiry
// in seconds since 1970 (0 for a session cookie), name, value. "#HttpOnly_" before the
// domain marks an HttpOnly cookie; any other line starting with "#" is a comment.

namespace {

constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";

Error FileError(std::string_view message, std::string detail) {
  Error error(kFileError, message);
  error.SetDetail(std::move(detail));
  return error;
}

std::string SystemError(int error_number, const std::string& path) {
  return std::string(std::strerror(error_number)) + " (" + path + ")";
}

// An optional "-" and digits; seconds beyond any cap saturate.
bool ParseExpiry(std::string_view text, std::int64_t& seconds) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || !std::all_of(text.begin(), text.end(), IsDigit)) return false;
  constexpr std::int64_t kSaturated = std::numeric_limits<std::int64_t>::max() / 10000;
  std::int64_t value = 0;
  for (char c : text) value = std::min(value * 10 + (c - '0'), kSaturated);
  seconds = negative ? -value : value;
  return true;
}

}  // namespace

void CookieStore::LoadText(std::string_view text, bool include_session_cookies, CookieTime now,
                           const std::string& source) {
  const std::int64_t now_ms = ToMs(now);
  std::vector<Entry> loaded;
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (TrimWsp(line).empty()) continue;
    bool http_only = false;
    if (line.substr(0, kHttpOnlyPrefix.size()) == kHttpOnlyPrefix) {
      http_only = true;
      line.remove_prefix(kHttpOnlyPrefix.size());
    } else if (line.front() == '#') {
      continue;
    }
    std::vector<std::string_view> fields;
    Split(line, '\t', false, fields);
    const std::string where = "line " + std::to_string(line_number) + " of " + source;
    if (fields.size() != 7) {
      throw FileError("Cannot read the file", where + ": not seven tab-separated fields");
    }
    std::int64_t expiry_seconds = 0;
    if (!ParseExpiry(fields[4], expiry_seconds)) {
      throw FileError("Cannot read the file", where + ": the expiry is not a number");
    }

    // A well-formed line whose cookie the jar would not have stored is skipped, as a
    // "Set-Cookie" field would be.
    Entry entry;
    entry.http_only = http_only;
    std::string_view domain = fields[0];
    if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
    entry.domain = AsciiLower(StripBrackets(std::string(domain)));
    entry.host_only = !AsciiIEquals(fields[1], "TRUE");
    entry.path = fields[2].empty() || fields[2].front() != '/' ? "/" : std::string(fields[2]);
    entry.secure = AsciiIEquals(fields[3], "TRUE");
    entry.name = std::string(fields[5]);
    entry.value = std::string(fields[6]);
    if (expiry_seconds == 0) {
      if (!include_session_cookies) continue;
    } else {
      entry.persistent = true;
      entry.expiry_ms = CapExpiry(expiry_seconds * kMsPerSecond, now_ms);
      if (entry.expiry_ms <= now_ms) continue;
    }
    if (IsIpAddress(entry.domain)) entry.host_only = true;
    const char* skip = nullptr;
    if (!IsUsableHost(entry.domain)) {
      skip = "no usable domain";
    } else if (HasControl(line)) {
      skip = "a control character";
    } else if (entry.name.empty() && entry.value.empty()) {
      skip = "neither name nor value";
    } else if (entry.name.size() + entry.value.size() > kMaxNameValueSize) {
      skip = "name and value exceed 4096 bytes";
    } else if (!entry.host_only && IsPublicSuffix(entry.domain)) {
      skip = "its domain is a public suffix";
    } else if ((StartsWithIgnoreCase(entry.name, "__Secure-") && !entry.secure) ||
               (StartsWithIgnoreCase(entry.name, "__Host-") &&
                !(entry.secure && entry.host_only && entry.path == "/")) ||
               (entry.name.empty() && (StartsWithIgnoreCase(entry.value, "__Secure-") ||
                                       StartsWithIgnoreCase(entry.value, "__Host-")))) {
      skip = "its name prefix asks for what it lacks";
    }
    if (skip != nullptr) {
      LOG_VERB("Cookie \"%s\" on %s skipped: %s", Printable(entry.name).c_str(), where.c_str(),
               skip);
      continue;
    }
    loaded.push_back(std::move(entry));
  }

  std::lock_guard<std::mutex> lock(mutex_);
  PurgeExpired(now_ms);
  std::string unused;
  for (Entry& entry : loaded) Insert(std::move(entry), true, now_ms, unused);
  EvictExcess();
}

std::string CookieStore::SaveText(CookieTime now) {
  std::vector<Entry> entries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PurgeExpired(ToMs(now));
    for (const auto& [domain, list] : by_domain_) {
      entries.insert(entries.end(), list.begin(), list.end());
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.domain != b.domain) return a.domain < b.domain;
    if (a.path != b.path) return a.path < b.path;
    return a.created < b.created;
  });
  std::string text =
      "# Netscape HTTP Cookie File\n"
      "# Written by korvo. Fields: domain, subdomains too, path, secure, expiry, name, value.\n"
      "\n";
  for (const Entry& entry : entries) {
    if (entry.name.find('\t') != std::string::npos || entry.value.find('\t') != std::string::npos ||
        entry.path.find('\t') != std::string::npos) {
      LOG_VERB("Cookie \"%s\" of %s not saved: the cookie file cannot hold a tab",
               Printable(entry.name).c_str(), Printable(entry.domain).c_str());
      continue;
    }
    if (entry.http_only) text += kHttpOnlyPrefix;
    if (!entry.host_only) text += '.';
    text += entry.domain;
    text += entry.host_only ? "\tFALSE\t" : "\tTRUE\t";
    text += entry.path;
    text += entry.secure ? "\tTRUE\t" : "\tFALSE\t";
    // Whole seconds, rounded up so that the saved cookie does not expire earlier.
    std::int64_t seconds = 0;
    if (entry.persistent) {
      seconds = entry.expiry_ms / kMsPerSecond + (entry.expiry_ms % kMsPerSecond > 0 ? 1 : 0);
      // 0 would read back as a session cookie.
      seconds = std::max<std::int64_t>(seconds, 1);
    }
    text += std::to_string(seconds);
    text += '\t';
    text += entry.name;
    text += '\t';
    text += entry.value;
    text += '\n';
  }
  return text;
}

void CookieStore::Load(const std::filesystem::path& path, bool include_session_cookies,
                       CookieTime now) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw FileError("Cannot read the file", SystemError(errno, path.string()));
  std::string text;
  char buffer[16384];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  const int read_errno = errno;
  std::fclose(file);
  if (failed) throw FileError("Cannot read the file", SystemError(read_errno, path.string()));
  LoadText(text, include_session_cookies, now, path.string());
}

void CookieStore::Save(const std::filesystem::path& path, CookieTime now) {
  const std::string text = SaveText(now);
  // A new file beside the old one, renamed over it only once it is complete and on disk.
  std::string temporary = path.string() + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) throw FileError("Cannot write the file", SystemError(errno, path.string()));
  std::size_t written = 0;
  int write_errno = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      write_errno = errno;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (write_errno == 0 && ::fsync(fd) != 0) write_errno = errno;
  if (::close(fd) != 0 && write_errno == 0) write_errno = errno;
  if (write_errno == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) write_errno = errno;
  if (write_errno != 0) {
    ::unlink(temporary.c_str());
    throw FileError("Cannot write the file", SystemError(write_errno, path.string()));
  }
  // The rename itself reaches the disk with the directory.
  const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : ".";
  const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (directory_fd >= 0) {
    ::fsync(directory_fd);
    ::close(directory_fd);
  }
}

}  // namespace detail

CookieJar::CookieJar() : store_(std::make_unique<detail::CookieStore>()) {}

CookieJar::~CookieJar() = default;

void CookieJar::SetCookie(const Url& url, std::string_view set_cookie) {
  store_->SetCookie(url, set_cookie, std::chrono::system_clock::now());
}

void CookieJar::SetCookies(const Url& url, const Headers& headers) {
  store_->SetCookies(url, headers, std::chrono::system_clock::now());
}

std::string CookieJar::GetCookieHeader(const Url& url) {
  return store_->GetCookieHeader(url, std::chrono::system_clock::now());
}

std::vector<Cookie> CookieJar::GetCookies() const {
  return store_->GetCookies(std::chrono::system_clock::now());
}

void CookieJar::Clear() { store_->Clear(); }

void CookieJar::ClearSessionCookies() { store_->ClearSessionCookies(); }

void CookieJar::Load(const std::filesystem::path& path, bool include_session_cookies) {
  store_->Load(path, include_session_cookies, std::chrono::system_clock::now());
}

void CookieJar::Save(const std::filesystem::path& path) const {
  store_->Save(path, std::chrono::system_clock::now());
}

}  // namespace korvo
