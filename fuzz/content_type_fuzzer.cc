// ContentType parsing against a model of its rules, including that Parse keeps the
// parameter of an earlier text when the new one has none and Init starts afresh.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/common.h"

namespace {

std::string_view TrimAny(std::string_view text, std::string_view spaces) {
  while (!text.empty() && spaces.find(text.front()) != std::string_view::npos) text.remove_prefix(1);
  while (!text.empty() && spaces.find(text.back()) != std::string_view::npos) text.remove_suffix(1);
  return text;
}

struct Model {
  std::string media_type;
  std::string additional;
  bool multipart = false;

  static bool Lookup(std::string_view params, std::string_view key, std::string& value) {
    std::size_t eq = params.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view left = TrimAny(params.substr(0, eq), " ");
    std::string_view right = TrimAny(params.substr(eq + 1), " ");
    if (left != key || right.empty()) return false;
    value = std::string(right);
    return true;
  }

  void Parse(std::string_view text) {
    std::size_t semi = text.find(';');
    std::string_view media = text.substr(0, semi);
    std::string_view params = semi == std::string_view::npos ? std::string_view() : text.substr(semi + 1);
    media_type = std::string(TrimAny(media, " \t\n\v\f\r"));
    params = TrimAny(params, " \t\n\v\f\r");
    std::string value;
    if (media_type == "multipart/form-data") {
      multipart = true;
      if (Lookup(params, "boundary", value)) additional = value;
    } else if (Lookup(params, "charset", value)) {
      additional = value;
    }
  }

  bool Valid() const { return !media_type.empty() && (!multipart || !additional.empty()); }
};

void CheckSame(const korvo::ContentType& type, const Model& model) {
  FUZZ_CHECK_EQ(type.GetMediaType(), model.media_type);
  FUZZ_CHECK_EQ(type.GetCharset(), model.additional);
  FUZZ_CHECK_EQ(type.GetBoundary(), model.additional);
  FUZZ_CHECK(type.IsMultipart() == model.multipart);
  FUZZ_CHECK(type.Valid() == model.Valid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string first = provider.ConsumeRandomLengthString(512);
  std::string second = provider.ConsumeRemainingBytesAsString();

  korvo::ContentType type(first);
  Model model;
  model.Parse(first);
  CheckSame(type, model);

  type.Parse(second);
  model.Parse(second);
  CheckSame(type, model);

  type.Init(second);
  Model fresh;
  fresh.Parse(second);
  CheckSame(type, fresh);

  type.Reset();
  CheckSame(type, Model());
  return 0;
}
