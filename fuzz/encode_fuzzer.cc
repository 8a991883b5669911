// Percent-encoders and Decode against byte-by-byte models of their character sets.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "korvo/url.h"

namespace {

bool Alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool OneOf(unsigned char c, std::string_view set) {
  for (char s : set) {
    if (static_cast<unsigned char>(s) == c) return true;
  }
  return false;
}

enum class Set { kFull, kPath, kQuery, kNonAscii };

bool Kept(Set set, unsigned char c) {
  switch (set) {
    case Set::kFull:
      return Alnum(c) || OneOf(c, "-._~") || OneOf(c, ":/?#[]@") || OneOf(c, "!$&'()*+,;=");
    case Set::kPath:
      return Alnum(c) || OneOf(c, "-._~") || OneOf(c, "!$&'()*,;=") || OneOf(c, ":@/");
    case Set::kQuery:
      return Kept(Set::kPath, c) || c == '?';
    case Set::kNonAscii:
      return c < 0x80;
  }
  return false;
}

std::string Model(Set set, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (Kept(set, c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c / 16]);
      out.push_back(kHex[c % 16]);
    }
  }
  return out;
}

int Hex(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

std::string ModelDecode(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) return std::string(text);
    if (c == '%') {
      if (i + 2 >= text.size()) return std::string(text);
      int high = Hex(text[i + 1]);
      int low = Hex(text[i + 2]);
      if (high < 0 || low < 0) return std::string(text);
      out.push_back(static_cast<char>(high * 16 + low));
      i += 3;
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string full = korvo::EncodeFull(text);
  std::string path = korvo::EncodePath(text);
  std::string query = korvo::EncodeQuery(text);
  std::string non_ascii = korvo::EncodeNonAscii(text);
  FUZZ_CHECK_EQ(full, Model(Set::kFull, text));
  FUZZ_CHECK_EQ(path, Model(Set::kPath, text));
  FUZZ_CHECK_EQ(query, Model(Set::kQuery, text));
  FUZZ_CHECK_EQ(non_ascii, Model(Set::kNonAscii, text));

  // Every encoder but EncodeNonAscii escapes "%" and all bytes from 0x80, so decoding
  // its output gives the input back.
  FUZZ_CHECK_EQ(korvo::Decode(full), text);
  FUZZ_CHECK_EQ(korvo::Decode(path), text);
  FUZZ_CHECK_EQ(korvo::Decode(query), text);

  FUZZ_CHECK_EQ(korvo::Decode(text), ModelDecode(text));
  return 0;
}
