// Url::Resolve: a base URL and a reference (a Location value), resolved. Whatever the
// input, a result is an http or https URL with a host and without dot segments in its
// path, all ASCII, and it is absolute: resolving its text again changes nothing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/url.h"

namespace {

bool IsHttp(std::string scheme) {
  for (char& c : scheme) c = static_cast<char>(c | 0x20);
  return scheme == "http" || scheme == "https";
}

bool HasDotSegment(std::string_view path) {
  while (!path.empty()) {
    path.remove_prefix(1);  // the "/" before each segment
    std::size_t end = path.find('/');
    std::string_view segment = path.substr(0, end);
    if (segment == "." || segment == "..") return true;
    if (end == std::string_view::npos) break;
    path.remove_prefix(end);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  korvo::Url base(provider.ConsumeRandomLengthString(256));
  std::string reference = provider.ConsumeRemainingBytesAsString();

  std::optional<korvo::Url> target = base.Resolve(reference);
  if (!target) return 0;
  FUZZ_CHECK(IsHttp(target->GetScheme()));
  FUZZ_CHECK(!target->GetHost().empty());
  FUZZ_CHECK(!HasDotSegment(target->GetPath()));
  for (char c : target->ToString()) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);

  // Against a base without a fragment: an empty fragment ("x#") is not kept apart from
  // none, so the base's would take its place.
  std::string text = target->ToString();
  std::optional<korvo::Url> elsewhere = korvo::Url("https://other.example/x/y?z").Resolve(text);
  FUZZ_CHECK(elsewhere.has_value());
  FUZZ_CHECK_EQ(elsewhere->ToString(), text);
  return 0;
}
