// UrlQuery: parsing a query text, rendering, and Add/Remove/Get edits, against a model.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/url.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

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

// A form's key or value: "+" is a blank, then percent-decoding.
std::string ModelDecode(std::string_view text) {
  std::string blanks(text);
  for (char& c : blanks) {
    if (c == '+') c = ' ';
  }
  return korvo::Decode(blanks);
}

Pairs ModelParse(std::string_view text) {
  Pairs pairs;
  std::size_t start = 0;
  while (true) {
    std::size_t amp = text.find('&', start);
    std::string_view piece = text.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos) {
      pairs.emplace_back(ModelDecode(piece.substr(0, eq)), ModelDecode(piece.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return pairs;
}

std::string ModelRender(const Pairs& pairs, bool encode) {
  std::string out;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) out += '&';
    out += encode ? ModelComponent(pairs[i].first) + "=" + ModelComponent(pairs[i].second)
                  : pairs[i].first + "=" + pairs[i].second;
  }
  return out;
}

const std::string* ModelFind(const Pairs& pairs, std::string_view key) {
  for (const auto& pair : pairs) {
    if (pair.first == key) return &pair.second;
  }
  return nullptr;
}

void CheckSame(const korvo::UrlQuery& query, const Pairs& pairs) {
  FUZZ_CHECK(query.size() == pairs.size());
  FUZZ_CHECK(query.empty() == pairs.empty());
  std::size_t i = 0;
  for (const auto& pair : query) {
    FUZZ_CHECK_EQ(pair.first, pairs[i].first);
    FUZZ_CHECK_EQ(pair.second, pairs[i].second);
    ++i;
  }
  FUZZ_CHECK_EQ(query.ToString(false), ModelRender(pairs, false));
  FUZZ_CHECK_EQ(query.ToString(true), ModelRender(pairs, true));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string text = provider.ConsumeRandomLengthString(1024);
  korvo::UrlQuery query(text);
  Pairs pairs = ModelParse(text);
  CheckSame(query, pairs);

  // Rendering without encoding and parsing again keeps the pairs whose texts survive a
  // decode unchanged and contain no separators.
  {
    bool plain = true;
    for (const auto& pair : pairs) {
      for (const std::string* s : {&pair.first, &pair.second}) {
        if (s->find_first_of("&=%+") != std::string::npos || korvo::Decode(*s) != *s) {
          plain = false;
        }
        for (char c : *s) {
          if (static_cast<unsigned char>(c) >= 0x80) plain = false;
        }
      }
    }
    if (plain) CheckSame(korvo::UrlQuery(query.ToString(false)), pairs);
  }
  // Encoded, every list parses back into itself, whatever its keys and values hold.
  CheckSame(korvo::UrlQuery(query.ToString(true)), pairs);

  // A bounded number of edits keeps every run linear in the input.
  for (int edits = 0; edits < 32 && provider.remaining_bytes() > 0; ++edits) {
    std::uint8_t op = provider.ConsumeIntegral<std::uint8_t>() % 3;
    std::string key = provider.ConsumeRandomLengthString(16);
    if (op == 0) {
      std::string value = provider.ConsumeRandomLengthString(16);
      if (ModelFind(pairs, key) == nullptr) pairs.emplace_back(key, value);
      query.Add(key, value);
    } else if (op == 1) {
      for (auto it = pairs.begin(); it != pairs.end(); ++it) {
        if (it->first == key) {
          pairs.erase(it);
          break;
        }
      }
      query.Remove(key);
    } else {
      const std::string* expected = ModelFind(pairs, key);
      FUZZ_CHECK_EQ(query.Get(key), expected != nullptr ? *expected : std::string());
    }
    FUZZ_CHECK(query.size() == pairs.size());
  }
  CheckSame(query, pairs);
  return 0;
}
