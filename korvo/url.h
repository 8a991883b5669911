// Url splits a URL text into scheme, host, port, path, query and fragment, and extends
// the path and the query. Parsing validates nothing, never fails and normalises nothing.
// The fragment is kept for the caller only; a request never sends it.
// UrlQuery is an ordered key/value list rendered as "k=v&k2=v2" (query strings and
// application/x-www-form-urlencoded bodies).
//
// Thread rules: both are plain values without locking; use each from one thread at a
// time. The free encoders and Decode keep no state.
#ifndef KORVO_URL_H_
#define KORVO_URL_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvo {

class Url {
 public:
  Url() = default;
  // With `encode`, the text is first passed through EncodeFull.
  explicit Url(std::string_view text, bool encode = false);

  const std::string& GetScheme() const { return scheme_; }
  const std::string& GetHost() const { return host_; }  // IPv6 keeps its brackets
  const std::string& GetPort() const { return port_; }  // empty when none was given
  const std::string& GetPath() const { return path_; }  // empty or starts with "/"
  const std::string& GetQuery() const { return query_; }  // without the "?"
  const std::string& GetFragment() const { return fragment_; }  // without the "#"

  // Adds one path segment so that exactly one "/" separates it from the old path;
  // an empty piece or "/" changes nothing. With `encode`, the piece goes through
  // EncodePath.
  Url& AppendPath(std::string_view piece, bool encode = false);

  // Appends "key=value" (joined by "&" to earlier pairs) to the query, which stays
  // before any fragment. With `encode`, key and value are each percent-encoded as
  // EncodeQuery does, "&" and "=" included, so that each stays one key or one value.
  Url& AddQuery(std::string_view key, std::string_view value, bool encode = false);

  void Clear();

  // The URL as text: scheme "://" host [":" port] path ["?" query] ["#" fragment]; a
  // part that is empty is left out with its separator.
  std::string ToString() const;

  // The URL that `reference` (a link or a "Location" value: absolute, "//host/...",
  // "/path", "relative", "?query", "#fragment", with "." and ".." segments) names when
  // read against this one, as RFC 3986 5.2 resolves it (dot segments removed from
  // the result's path in every case); non-ASCII bytes are percent-encoded. A reference without a fragment keeps this URL's (RFC 9110 10.2.2).
  // Nothing when the result is not an http or https URL with a host.
  std::optional<Url> Resolve(std::string_view reference) const;

 private:
  std::string scheme_;
  std::string host_;
  std::string port_;
  std::string path_;
  std::string query_;
  std::string fragment_;
};

class UrlQuery {
 public:
  using Pair = std::pair<std::string, std::string>;

  UrlQuery() = default;
  // Parses "k=v&k2=v2", decoding keys and values ("+" as a blank, as forms encode it);
  // pieces without "=" are skipped and duplicate keys are kept.
  explicit UrlQuery(std::string_view text);

  // Appends the pair unless a pair with this exact key exists (which keeps its value).
  UrlQuery& Add(std::string key, std::string value);
  UrlQuery& Remove(std::string_view key);
  // The value for `key`, or an empty string when there is none.
  const std::string& Get(std::string_view key) const;

  // "k=v&k2=v2"; with `encode`, each key and value is percent-encoded as EncodeQuery
  // does, "&" and "=" included, so that the text parses back into the same pairs.
  std::string ToString(bool encode = false) const;

  std::vector<Pair>::const_iterator begin() const { return pairs_.begin(); }
  std::vector<Pair>::const_iterator end() const { return pairs_.end(); }
  std::size_t size() const { return pairs_.size(); }
  bool empty() const { return pairs_.empty(); }

 private:
  std::vector<Pair> pairs_;
};

// Percent-encoders; every byte outside the encoder's kept set becomes "%XX" (upper case).
// EncodeFull keeps the unreserved and reserved characters of a URL (but not "%").
std::string EncodeFull(std::string_view text);
// Keeps unreserved characters, sub-delimiters except "+", ":", "@" and "/".
std::string EncodePath(std::string_view text);
// Like EncodePath, and keeps "?" as well.
std::string EncodeQuery(std::string_view text);
// Escapes only bytes 0x80 to 0xFF.
std::string EncodeNonAscii(std::string_view text);

// Decodes "%XX" sequences ("+" stays "+"). A malformed escape or a byte of 0x80 or
// above makes it return the input unchanged.
std::string Decode(std::string_view text);

}  // namespace korvo

#endif  // KORVO_URL_H_
