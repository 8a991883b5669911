// Url parsing (plain and with EncodeFull first), AppendPath and AddQuery against a model
// of the splitting rules, fragment included.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/url.h"

namespace {

struct Parts {
  std::string scheme, host, port, path, query, fragment;
};

Parts ModelParse(std::string_view text) {
  Parts parts;
  std::size_t start = 0;
  while (start < text.size() && std::string_view(" \t\n\v\f\r").find(text[start]) != std::string_view::npos) {
    ++start;
  }
  std::string_view rest = text.substr(start);
  std::size_t separator = rest.find("://");
  if (rest.size() >= 3 && separator != std::string_view::npos) {
    parts.scheme = std::string(rest.substr(0, separator));
    rest = rest.substr(separator + 3);
  }
  // A byte walk where the parser searches, so that the two are unlikely to share a slip.
  std::size_t i = 0;
  while (i < rest.size() && rest[i] != '/' && rest[i] != '?' && rest[i] != '#') ++i;
  std::string_view host_part = rest.substr(0, i);
  std::string* into = &parts.path;
  for (; i < rest.size(); ++i) {
    if (rest[i] == '#' && into != &parts.fragment) {
      into = &parts.fragment;
    } else if (rest[i] == '?' && into == &parts.path) {
      into = &parts.query;
    } else {
      into->push_back(rest[i]);
    }
  }
  parts.host = std::string(host_part);
  std::size_t colon = parts.host.rfind(':');
  if (colon != std::string::npos && parts.host.find(']', colon) == std::string::npos) {
    parts.port = parts.host.substr(colon + 1);
    parts.host.resize(colon);
  }
  return parts;
}

// One key or value as a query holds it: EncodeQuery, with the separators it keeps
// escaped too (EncodeQuery escapes "%", so the replacements cannot meet an escape).
std::string ModelComponent(std::string_view text) {
  std::string encoded;
  for (char c : korvo::EncodeQuery(text)) {
    if (c == '&') {
      encoded += "%26";
    } else if (c == '=') {
      encoded += "%3D";
    } else {
      encoded += c;
    }
  }
  return encoded;
}

void CheckSame(const korvo::Url& url, const Parts& parts) {
  FUZZ_CHECK_EQ(url.GetScheme(), parts.scheme);
  FUZZ_CHECK_EQ(url.GetHost(), parts.host);
  FUZZ_CHECK_EQ(url.GetPort(), parts.port);
  FUZZ_CHECK_EQ(url.GetPath(), parts.path);
  FUZZ_CHECK_EQ(url.GetQuery(), parts.query);
  FUZZ_CHECK_EQ(url.GetFragment(), parts.fragment);
}

void ModelAppendPath(std::string& path, std::string_view piece, bool encode) {
  if (piece.empty() || piece == "/") return;
  bool piece_slash = piece.front() == '/';
  if (path.empty() || path == "/") {
    path = piece_slash ? "" : "/";
  } else if (path.back() == '/' && piece_slash) {
    path.pop_back();
  } else if (path.back() != '/' && !piece_slash) {
    path += '/';
  }
  path += encode ? korvo::EncodePath(piece) : std::string(piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    // The whole input as one URL text.
    std::string_view text(reinterpret_cast<const char*>(data), size);
    korvo::Url url(text);
    CheckSame(url, ModelParse(text));
    korvo::Url encoded(text, true);
    CheckSame(encoded, ModelParse(korvo::EncodeFull(text)));
    korvo::Url copy = url;
    copy.Clear();
    CheckSame(copy, Parts());
  }

  // The input as a URL followed by path and query edits.
  FuzzedDataProvider provider(data, size);
  std::string text = provider.ConsumeRandomLengthString(256);
  korvo::Url url(text);
  Parts parts = ModelParse(text);
  // A bounded number of edits keeps every run linear in the input.
  for (int edits = 0; edits < 32 && provider.remaining_bytes() > 0; ++edits) {
    std::uint8_t op = provider.ConsumeIntegral<std::uint8_t>();
    bool encode = (op & 2) != 0;
    if ((op & 1) == 0) {
      std::string piece = provider.ConsumeRandomLengthString(64);
      url.AppendPath(piece, encode);
      ModelAppendPath(parts.path, piece, encode);
    } else {
      std::string key = provider.ConsumeRandomLengthString(32);
      std::string value = provider.ConsumeRandomLengthString(32);
      url.AddQuery(key, value, encode);
      if (!parts.query.empty()) parts.query += '&';
      parts.query += encode ? ModelComponent(key) + "=" + ModelComponent(value)
                            : key + "=" + value;
    }
    CheckSame(url, parts);
  }
  return 0;
}
