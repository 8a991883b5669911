// ContentDisposition::Init against a model of its rules, and the round trip of form
// part names through the "Content-Disposition" field that FormPart writes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "korvo/error.h"
#include "korvo/common.h"
#include "korvo/internal/content_disposition.h"
#include "korvo/internal/message_access.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string_view StripQuotes(std::string_view text) {
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return text;
}

struct Model {
  std::string name;
  std::string file_name;

  bool Init(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
      std::size_t semi = text.find(';', start);
      pieces.push_back(text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
    if (pieces[0] != "form-data") return false;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      std::size_t eq = pieces[i].find('=');
      if (eq == std::string_view::npos) return false;
      std::string_view key = TrimBlanks(pieces[i].substr(0, eq));
      std::string_view value = StripQuotes(TrimBlanks(pieces[i].substr(eq + 1)));
      if (key == "name") {
        name = std::string(value);
      } else if (key == "filename") {
        file_name = std::string(value);
      }
    }
    return true;
  }
};

// What FormPart writes between the quotes: a quote, CR and LF escaped as browsers do.
std::string Escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"') {
      out += "%22";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    korvo::ContentDisposition disposition;
    Model model;
    bool ok = disposition.Init(text);
    FUZZ_CHECK(ok == model.Init(text));
    if (ok) {
      FUZZ_CHECK_EQ(disposition.GetName(), model.name);
      FUZZ_CHECK_EQ(disposition.GetFileName(), model.file_name);
    }
  }

  FuzzedDataProvider provider(data, size);
  std::string name = provider.ConsumeRandomLengthString(128);
  std::string file = provider.ConsumeRandomLengthString(128);
  std::shared_ptr<korvo::FormPart> part;
  if (file.empty() || file.find('/') != std::string::npos || file.find('\0') != std::string::npos) {
    part = korvo::FormPart::New(name, "value");
  } else {
    part = korvo::FormPart::NewFile(name, std::filesystem::path("/nonexistent") / file);
  }
  // A NUL cannot go into a part's head: such a name is refused, never written.
  const bool has_nul = name.find('\0') != std::string::npos ||
                       part->GetFileName().find('\0') != std::string::npos;
  try {
    korvo::FormPartAccess::SetHeaders(*part);
  } catch (const korvo::Error& error) {
    FUZZ_CHECK(has_nul);
    FUZZ_CHECK(error.code() == korvo::kRequestError);
    return 0;
  }
  FUZZ_CHECK(!has_nul);
  const std::string& field = part->GetHeaders().Get("Content-Disposition");
  FUZZ_CHECK(field.find_first_of("\r\n") == std::string::npos);
  // A ";" inside a name splits the parameter; everything else comes back as written.
  if (name.find(';') == std::string::npos && part->GetFileName().find(';') == std::string::npos) {
    korvo::ContentDisposition disposition;
    FUZZ_CHECK(disposition.Init(field));
    FUZZ_CHECK_EQ(disposition.GetName(), Escaped(name));
    FUZZ_CHECK_EQ(disposition.GetFileName(), Escaped(part->GetFileName()));
  }
  return 0;
}
