#include "korvo/internal/content_disposition.h"

#include <utility>
#include <vector>

#include "korvo/internal/utility.h"

namespace korvo {

bool ContentDisposition::Init(std::string_view text) {
  name_.clear();
  file_name_.clear();
  std::string name, file_name;
  std::vector<std::string_view> pieces;
  Split(text, ';', false, pieces);
  if (pieces.empty() || pieces.front() != "form-data") return false;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string_view key, value;
    if (!SplitKV(pieces[i], '=', true, key, value)) return false;
    Trim(value, "\"");
    if (key == "name") {
      name.assign(value);
    } else if (key == "filename") {
      file_name.assign(value);
    }
  }
  name_ = std::move(name);
  file_name_ = std::move(file_name);
  return true;
}

}  // namespace korvo
