// Base64Decode of arbitrary text against a model of its stop rules, and the round trip
// through Base64Encode.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "korvo/internal/utility.h"

namespace {

int Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string ModelDecode(std::string_view text) {
  std::string sextets;
  for (char c : text) {
    int v = Value(static_cast<unsigned char>(c));
    if (v < 0) break;
    sextets.push_back(static_cast<char>(v));
  }
  std::string out;
  std::size_t i = 0;
  for (; i + 4 <= sextets.size(); i += 4) {
    std::uint32_t n = (std::uint32_t(sextets[i]) << 18) | (std::uint32_t(sextets[i + 1]) << 12) |
                      (std::uint32_t(sextets[i + 2]) << 6) | std::uint32_t(sextets[i + 3]);
    out.push_back(static_cast<char>(n >> 16));
    out.push_back(static_cast<char>((n >> 8) & 0xFF));
    out.push_back(static_cast<char>(n & 0xFF));
  }
  std::size_t rest = sextets.size() - i;
  if (rest >= 2) {
    std::uint32_t n = (std::uint32_t(sextets[i]) << 18) | (std::uint32_t(sextets[i + 1]) << 12);
    if (rest == 3) n |= std::uint32_t(sextets[i + 2]) << 6;
    out.push_back(static_cast<char>(n >> 16));
    if (rest == 3) out.push_back(static_cast<char>((n >> 8) & 0xFF));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK_EQ(korvo::Base64Decode(text), ModelDecode(text));

  std::string encoded = korvo::Base64Encode(text);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  FUZZ_CHECK_EQ(korvo::Base64Encode(data, size), encoded);
  FUZZ_CHECK_EQ(korvo::Base64Decode(encoded), text);
  return 0;
}
