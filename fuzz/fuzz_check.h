// Shared by the fuzz targets: a check that turns a broken property into a crash that
// libFuzzer records, with both sides printed in escaped form.
#ifndef KORVO_FUZZ_CHECK_H_
#define KORVO_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace korvo {
namespace fuzz {

inline std::string Escaped(std::string_view text) {
  std::string out;
  const std::size_t limit = 400;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\x%02X", c);
      out += buffer;
    }
  }
  if (text.size() > limit) out += "...(" + std::to_string(text.size()) + " bytes)";
  return out;
}

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              std::string_view actual, std::string_view expected) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  actual:   \"%s\"\n  expected: \"%s\"\n", file,
               line, what, Escaped(actual).c_str(), Escaped(expected).c_str());
  std::abort();
}

}  // namespace fuzz
}  // namespace korvo

#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) ::korvo::fuzz::Fail(__FILE__, __LINE__, #condition, "", ""); \
  } while (false)

// Compares two strings (or anything convertible to std::string_view).
#define FUZZ_CHECK_EQ(actual, expected)                                              \
  do {                                                                               \
    const auto& fuzz_actual_ = (actual);                                             \
    const auto& fuzz_expected_ = (expected);                                         \
    if (std::string_view(fuzz_actual_) != std::string_view(fuzz_expected_))          \
      ::korvo::fuzz::Fail(__FILE__, __LINE__, #actual " == " #expected, fuzz_actual_, \
                          fuzz_expected_);                                           \
  } while (false)

#endif  // KORVO_FUZZ_CHECK_H_
