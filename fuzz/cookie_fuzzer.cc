// The cookie jar against the properties its rules promise: whatever "Set-Cookie" fields
// an origin sends, the cookies stored stay within the limits, keep to the origin's
// host or a domain above it that is no public suffix, are secure only from https and
// keep the name prefixes' promises; the "Cookie" value names stored cookies only; a
// saved jar loads back the same; a cookie file either loads or throws kFileError
// leaving the jar as it was; and a cookie date that parses reads back the same from
// its RFC 1123 form.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/common.h"
#include "korvo/cookie_jar.h"
#include "korvo/error.h"
#include "korvo/internal/cookie_store.h"
#include "korvo/url.h"

namespace {

using korvo::Cookie;
using korvo::detail::CookieStore;
using korvo::detail::CookieTime;

constexpr std::int64_t kNow = 1'700'000'000;
const CookieTime kAt{std::chrono::seconds(kNow)};

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool StartsWithIgnoreCase(const std::string& text, std::string_view prefix) {
  return Lower(text.substr(0, prefix.size())) == Lower(std::string(prefix));
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 ? u != '\t' : u == 0x7F;
  });
}

std::string Describe(const Cookie& c) {
  std::ostringstream out;
  out << c.name << '\x1f' << c.value << '\x1f' << c.domain << '\x1f' << c.path << '\x1f'
      << c.host_only << c.secure << c.http_only << '\x1f'
      << (c.expires ? std::chrono::duration_cast<std::chrono::milliseconds>(
                          c.expires->time_since_epoch())
                          .count()
                    : -1);
  return out.str();
}

// The cookies in a comparable order, one a line.
std::string Described(const std::vector<Cookie>& cookies, bool savable_only) {
  std::vector<std::string> lines;
  for (const Cookie& c : cookies) {
    const bool tab = (c.name + c.value + c.path).find('\t') != std::string::npos;
    if (!savable_only || !tab) lines.push_back(Describe(c));
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

void CheckStored(const korvo::Url& origin, const std::vector<Cookie>& cookies) {
  std::string host = Lower(origin.GetHost());
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const bool https = Lower(origin.GetScheme()) == "https";
  for (const Cookie& c : cookies) {
    FUZZ_CHECK(!c.name.empty() || !c.value.empty());
    FUZZ_CHECK(c.name.size() + c.value.size() <= CookieStore::kMaxNameValueSize);
    FUZZ_CHECK(!HasControl(c.name) && !HasControl(c.value) && !HasControl(c.path));
    FUZZ_CHECK(!c.path.empty() && c.path.front() == '/');
    FUZZ_CHECK(https || !c.secure);
    if (c.host_only) {
      FUZZ_CHECK_EQ(c.domain, host);
    } else {
      const std::string dot_domain = "." + c.domain;
      FUZZ_CHECK(host == c.domain ||
                 (host.size() > dot_domain.size() &&
                  host.compare(host.size() - dot_domain.size(), std::string::npos, dot_domain) == 0));
      FUZZ_CHECK(!korvo::detail::IsPublicSuffix(c.domain));
    }
    if (StartsWithIgnoreCase(c.name, "__Secure-")) FUZZ_CHECK(c.secure);
    if (StartsWithIgnoreCase(c.name, "__Host-")) {
      FUZZ_CHECK(c.secure && c.host_only && c.path == "/");
    }
    if (c.same_site == "None") FUZZ_CHECK(c.secure);
    if (c.expires) {
      FUZZ_CHECK(*c.expires > kAt);
      FUZZ_CHECK(*c.expires <= kAt + std::chrono::seconds(CookieStore::kMaxAgeSeconds));
    }
  }
}

// Every "name=value" (or nameless value) of the header is a stored cookie.
void CheckHeader(const std::string& header, const std::vector<Cookie>& cookies) {
  std::vector<std::string> stored;
  for (const Cookie& c : cookies) {
    stored.push_back(c.name.empty() ? c.value : c.name + "=" + c.value);
  }
  std::string rest = header;
  // Values may hold "; " themselves, so match stored pairs from the front.
  while (!rest.empty()) {
    bool found = false;
    for (const std::string& pair : stored) {
      if (rest.compare(0, pair.size(), pair) == 0 &&
          (rest.size() == pair.size() || rest.compare(pair.size(), 2, "; ") == 0)) {
        rest.erase(0, std::min(rest.size(), pair.size() + 2));
        found = true;
        break;
      }
    }
    FUZZ_CHECK(found);
  }
}

// RFC 1123's form of a time, for years 1601 to 9999.
std::string FormatDate(std::int64_t seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil from days (proleptic Gregorian).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t year = yoe + era * 400;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  char text[64];
  std::snprintf(text, sizeof(text), "Mon, %02d %s %04d %02d:%02d:%02d GMT", static_cast<int>(day),
                kMonths[month - 1], static_cast<int>(year), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const korvo::Url origin(provider.ConsumeRandomLengthString(200));
  const korvo::Url request(provider.ConsumeRandomLengthString(200));
  const std::string date = provider.ConsumeRandomLengthString(100);
  const std::string file = provider.ConsumeRandomLengthString(4096);
  std::vector<std::string> fields;
  while (provider.remaining_bytes() > 0 && fields.size() < 16) {
    fields.push_back(provider.ConsumeRandomLengthString(4200));
  }

  if (auto seconds = korvo::detail::ParseCookieDate(date)) {
    const std::string formatted = FormatDate(*seconds);
    auto again = korvo::detail::ParseCookieDate(formatted);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK_EQ(std::to_string(*again), std::to_string(*seconds));
  }

  CookieStore store;
  for (const std::string& field : fields) store.SetCookie(origin, field, kAt);
  const std::vector<Cookie> cookies = store.GetCookies(kAt);
  CheckStored(origin, cookies);
  CheckHeader(store.GetCookieHeader(request, kAt), cookies);
  CheckHeader(store.GetCookieHeader(origin, kAt), cookies);

  CookieStore loaded;
  loaded.LoadText(store.SaveText(kAt), true, kAt);
  FUZZ_CHECK_EQ(Described(loaded.GetCookies(kAt), false), Described(cookies, true));

  // Whatever the file says, it loads or fails whole.
  const std::string before = Described(loaded.GetCookies(kAt), false);
  try {
    loaded.LoadText(file, file.size() % 2 == 0, kAt);
  } catch (const korvo::Error& error) {
    FUZZ_CHECK(error.code() == korvo::kFileError);
    FUZZ_CHECK_EQ(Described(loaded.GetCookies(kAt), false), before);
  }
  return 0;
}
