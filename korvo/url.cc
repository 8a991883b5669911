#include "korvo/url.h"

#include <algorithm>
#include <cctype>
#include <locale>

#include <boost/algorithm/string/trim.hpp>

#include "korvo/internal/utility.h"

namespace korvo {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsIn(unsigned char c, std::string_view set) {
  return c != 0 && set.find(static_cast<char>(c)) != std::string_view::npos;
}

bool KeepFull(unsigned char c) {
  return IsAlnum(c) || IsIn(c, "-._~:/?#[]@!$&'()*+,;=");
}

// Shared by the path and query encoders, which differ only in what they drop from it.
bool PassesPathBase(unsigned char c) {
  return IsAlnum(c) || IsIn(c, "-._~!$&'()*+,;=%/:@");
}

bool KeepPath(unsigned char c) { return PassesPathBase(c) && c != '%' && c != '+'; }

bool KeepQuery(unsigned char c) { return KeepPath(c) || c == '?'; }

bool KeepNonAscii(unsigned char c) { return c < 0x80; }

// One key or one value of a query: EncodeQuery keeps "&" and "=", which is right for a
// whole query but would split a key or value that contains them.
bool KeepQueryComponent(unsigned char c) { return KeepQuery(c) && c != '&' && c != '='; }

template <typename Keep>
std::string Encode(std::string_view text, Keep keep) {
  std::string result;
  result.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      result.push_back(ch);
    } else {
      result.push_back('%');
      result.push_back(kHexDigits[c >> 4]);
      result.push_back(kHexDigits[c & 0x0F]);
    }
  }
  return result;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// RFC 3986 5.2.4: removes "." and ".." segments from a path.
std::string RemoveDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      std::size_t last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      std::size_t next = input.find('/', 1);
      if (next == std::string_view::npos) next = input.size();
      output.append(input.substr(0, next));
      input.remove_prefix(next);
    }
  }
  return output;
}

// A reference split as RFC 3986 Appendix B does; each part says whether it was present.
struct Reference {
  std::optional<std::string_view> scheme, authority, query, fragment;
  std::string_view path;
};

Reference SplitReference(std::string_view text) {
  Reference ref;
  std::size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    ref.fragment = text.substr(hash + 1);
    text = text.substr(0, hash);
  }
  std::size_t question = text.find('?');
  if (question != std::string_view::npos) {
    ref.query = text.substr(question + 1);
    text = text.substr(0, question);
  }
  std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon < text.find('/')) {
    ref.scheme = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    std::size_t slash = std::min(text.find('/'), text.size());
    ref.authority = text.substr(0, slash);
    text.remove_prefix(slash);
  }
  ref.path = text;
  return ref;
}

bool IsSchemeName(std::string_view scheme) {
  if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme.front()))) return false;
  return std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return IsAlnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

Url::Url(std::string_view text, bool encode) {
  std::string copy = encode ? EncodeFull(text) : std::string(text);
  boost::algorithm::trim_left(copy, std::locale());

  std::string_view rest = copy;
  std::size_t scheme_end = rest.find("://");
  if (rest.size() >= 3 && scheme_end != std::string_view::npos) {
    scheme_.assign(rest.substr(0, scheme_end));
    rest.remove_prefix(scheme_end + 3);
  }

  // The host part ends where the path, the query or the fragment begins, whichever
  // comes first; a "/" inside a query or fragment belongs to them.
  std::size_t host_end = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view host_part = rest.substr(0, host_end);
  std::string_view target = rest.substr(host_end);
  std::size_t hash = target.find('#');
  if (hash != std::string_view::npos) {
    fragment_.assign(target.substr(hash + 1));
    target = target.substr(0, hash);
  }
  std::size_t question = target.find('?');
  path_.assign(target.substr(0, question));
  if (question != std::string_view::npos) query_.assign(target.substr(question + 1));

  std::size_t colon = host_part.rfind(':');
  if (colon != std::string_view::npos) {
    // A "]" after the last ":" means that colon belongs to an IPv6 literal.
    std::size_t bracket = host_part.find(']', colon);
    if (bracket == std::string_view::npos) {
      port_.assign(host_part.substr(colon + 1));
      host_part = host_part.substr(0, colon);
    }
  }
  host_.assign(host_part);
}

Url& Url::AppendPath(std::string_view piece, bool encode) {
  if (piece.empty() || piece == "/") return *this;
  bool piece_slash = piece.front() == '/';
  if (path_.empty() || path_ == "/") {
    path_.clear();
    if (!piece_slash) path_.push_back('/');
  } else {
    bool path_slash = path_.back() == '/';
    if (path_slash && piece_slash) {
      path_.pop_back();
    } else if (!path_slash && !piece_slash) {
      path_.push_back('/');
    }
  }
  if (encode) {
    path_.append(EncodePath(piece));
  } else {
    path_.append(piece);
  }
  return *this;
}

Url& Url::AddQuery(std::string_view key, std::string_view value, bool encode) {
  if (!query_.empty()) query_.push_back('&');
  if (encode) {
    query_.append(Encode(key, KeepQueryComponent))
        .append("=")
        .append(Encode(value, KeepQueryComponent));
  } else {
    query_.append(key).append("=").append(value);
  }
  return *this;
}

void Url::Clear() {
  scheme_.clear();
  host_.clear();
  port_.clear();
  path_.clear();
  query_.clear();
  fragment_.clear();
}

namespace {

// A form's key or value: "+" stands for a blank, then percent-decoding.
std::string DecodeForm(std::string_view text) {
  std::string blanks(text);
  for (char& c : blanks) {
    if (c == '+') c = ' ';
  }
  return Decode(blanks);
}

}  // namespace

UrlQuery::UrlQuery(std::string_view text) {
  std::vector<std::string_view> pieces;
  Split(text, '&', false, pieces);
  for (std::string_view piece : pieces) {
    std::string_view key, value;
    if (!SplitKV(piece, '=', false, key, value)) continue;
    pairs_.emplace_back(DecodeForm(key), DecodeForm(value));
  }
}

UrlQuery& UrlQuery::Add(std::string key, std::string value) {
  auto found = std::find_if(pairs_.begin(), pairs_.end(),
                            [&key](const Pair& pair) { return pair.first == key; });
  if (found == pairs_.end()) pairs_.emplace_back(std::move(key), std::move(value));
  return *this;
}

UrlQuery& UrlQuery::Remove(std::string_view key) {
  auto found = std::find_if(pairs_.begin(), pairs_.end(),
                            [key](const Pair& pair) { return pair.first == key; });
  if (found != pairs_.end()) pairs_.erase(found);
  return *this;
}

const std::string& UrlQuery::Get(std::string_view key) const {
  static const std::string kEmpty;
  for (const Pair& pair : pairs_) {
    if (pair.first == key) return pair.second;
  }
  return kEmpty;
}

std::string UrlQuery::ToString(bool encode) const {
  std::string result;
  for (const Pair& pair : pairs_) {
    if (!result.empty()) result.push_back('&');
    if (encode) {
      result.append(Encode(pair.first, KeepQueryComponent))
          .append("=")
          .append(Encode(pair.second, KeepQueryComponent));
    } else {
      result.append(pair.first).append("=").append(pair.second);
    }
  }
  return result;
}

std::string EncodeFull(std::string_view text) { return Encode(text, KeepFull); }
std::string EncodePath(std::string_view text) { return Encode(text, KeepPath); }
std::string EncodeQuery(std::string_view text) { return Encode(text, KeepQuery); }
std::string EncodeNonAscii(std::string_view text) { return Encode(text, KeepNonAscii); }

std::string Decode(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) return std::string(text);
    if (c != '%') {
      result.push_back(text[i]);
      continue;
    }
    int high = i + 1 < text.size() ? HexValue(static_cast<unsigned char>(text[i + 1])) : -1;
    int low = i + 2 < text.size() ? HexValue(static_cast<unsigned char>(text[i + 2])) : -1;
    if (high < 0 || low < 0) return std::string(text);
    result.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return result;
}

std::string Url::ToString() const {
  std::string text;
  if (!scheme_.empty()) text.append(scheme_).append("://");
  text.append(host_);
  if (!port_.empty()) text.append(":").append(port_);
  text.append(path_);
  if (!query_.empty()) text.append("?").append(query_);
  if (!fragment_.empty()) text.append("#").append(fragment_);
  return text;
}

std::optional<Url> Url::Resolve(std::string_view reference) const {
  Reference ref = SplitReference(reference);
  std::string authority = host_ + (port_.empty() ? "" : ":" + port_);

  // RFC 3986 5.2.2, strict: a reference with a scheme is absolute.
  std::string scheme, path, query;
  if (ref.scheme) {
    if (!IsSchemeName(*ref.scheme)) return std::nullopt;
    scheme = *ref.scheme;
    authority = std::string(ref.authority.value_or(""));
    path = RemoveDotSegments(ref.path);
    query = std::string(ref.query.value_or(""));
  } else {
    scheme = scheme_;
    if (ref.authority) {
      authority = std::string(*ref.authority);
      path = RemoveDotSegments(ref.path);
      query = std::string(ref.query.value_or(""));
    } else if (ref.path.empty()) {
      // The base's own path, which a caller may have written with dot segments: a
      // browser's URL has none, so the result has none either.
      path = RemoveDotSegments(path_);
      query = ref.query ? std::string(*ref.query) : query_;
    } else {
      if (ref.path.front() == '/') {
        path = RemoveDotSegments(ref.path);
      } else {
        // 5.2.3: merge with the base path up to its last "/" ("/" for a base with an
        // authority and an empty path).
        std::size_t slash = path_.rfind('/');
        std::string merged =
            slash == std::string::npos ? "/" : path_.substr(0, slash + 1);
        merged.append(ref.path);
        path = RemoveDotSegments(merged);
      }
      query = std::string(ref.query.value_or(""));
    }
  }
  std::string fragment = ref.fragment ? std::string(*ref.fragment) : fragment_;

  if ((!AsciiIEquals(scheme, "http") && !AsciiIEquals(scheme, "https")) || authority.empty()) {
    return std::nullopt;
  }
  // Credentials in a URL are not for following; a host made of them cannot be used.
  if (authority.find('@') != std::string::npos) return std::nullopt;

  std::string text = scheme + "://" + authority + path;
  if (!query.empty()) text.append("?").append(query);
  // Servers send raw UTF-8 in Location now and then; browsers encode it.
  Url target(EncodeNonAscii(text));
  // A host a connection can be made to: a name or address, an IPv6 one in brackets, and
  // a port that is a port.
  const std::string& host = target.GetHost();
  if (host.empty()) return std::nullopt;
  bool bracketed = host.front() == '[' && host.back() == ']';
  if (!bracketed && host.find_first_of(":[]") != std::string::npos) return std::nullopt;
  std::uint16_t port = 0;
  if (!target.GetPort().empty() && !ParsePort(target.GetPort(), port)) return std::nullopt;
  target.fragment_ = EncodeNonAscii(fragment);
  return target;
}

}  // namespace korvo
