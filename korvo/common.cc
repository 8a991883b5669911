#include "korvo/common.h"

#include <algorithm>


#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/internal/payload.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

constexpr std::string_view kColonSpace = ": ";
constexpr std::string_view kCrlf = "\r\n";

// Only one parameter is examined: everything after the first "=" is its value.
bool FindParameter(std::string_view text, std::string_view key, std::string& value) {
  std::string_view found_key, found_value;
  if (!SplitKV(text, '=', true, found_key, found_value)) return false;
  if (found_key != key || found_value.empty()) return false;
  value.assign(found_value);
  return true;
}

// Quoted names are escaped as browsers escape them, so that a name cannot close its
// quotes or break the part's head into new lines.
std::string EscapeQuoted(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': escaped += "%22"; break;
      case '\r': escaped += "%0D"; break;
      case '\n': escaped += "%0A"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// White space as the classic locale's isspace sees it.
bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void TrimAsciiSpace(std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && IsAsciiSpace(text[end - 1])) --end;
  std::size_t begin = 0;
  while (begin < end && IsAsciiSpace(text[begin])) ++begin;
  text.erase(end);
  text.erase(0, begin);
}

// A message carries a handful of fields; growing the list one reallocation at a time
// would move every field string several times per head.
constexpr std::size_t kFieldsReserved = 12;

}  // namespace

bool AsciiIEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string Headers::Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = AsciiLower(c);
  return folded;
}

void Headers::BuildIndex() {
  index_.reserve(fields_.size() * 2);
  next_.reserve(fields_.size() * 2);
  while (next_.size() < fields_.size()) IndexLast();
}

// Indexes fields_[next_.size()], the first field not indexed yet.
void Headers::IndexLast() {
  std::size_t position = next_.size();
  next_.push_back(kNoNext);
  auto [found, inserted] =
      index_.try_emplace(Folded(fields_[position].first), Positions{position, position});
  if (!inserted) {
    next_[found->second.last] = position;
    found->second.last = position;
  }
}

Headers::const_iterator Headers::Find(std::string_view name) const {
  if (!index_.empty()) {
    auto found = index_.find(Folded(name));
    if (found == index_.end()) return fields_.end();
    return fields_.begin() + static_cast<std::ptrdiff_t>(found->second.first);
  }
  for (auto it = fields_.begin(); it != fields_.end(); ++it) {
    if (AsciiIEquals(it->first, name)) return it;
  }
  return fields_.end();
}

const std::string& Headers::Get(std::string_view name, bool* existed) const {
  static const std::string kEmpty;
  auto it = Find(name);
  if (existed != nullptr) *existed = it != end();
  return it != end() ? it->second : kEmpty;
}

std::vector<std::string> Headers::GetAll(std::string_view name) const {
  std::vector<std::string> values;
  if (index_.empty()) {
    for (const auto& field : fields_) {
      if (AsciiIEquals(field.first, name)) values.push_back(field.second);
    }
    return values;
  }
  auto found = index_.find(Folded(name));
  if (found == index_.end()) return values;
  for (std::size_t i = found->second.first; i != kNoNext; i = next_[i]) {
    values.push_back(fields_[i].second);
  }
  return values;
}

bool Headers::Set(std::string_view name, std::string_view value) {
  if (value.empty()) return false;
  auto found = Find(name);
  if (found == end()) return Add(name, value);
  auto first = static_cast<std::size_t>(found - fields_.begin());
  fields_[first].second.assign(value);
  // The index knows a name without repeats, the common case, without a walk of the list.
  if (!index_.empty() && next_[first] == kNoNext) return true;
  auto kept_end = std::remove_if(
      fields_.begin() + static_cast<std::ptrdiff_t>(first) + 1, fields_.end(),
      [name](const Field& field) { return AsciiIEquals(field.first, name); });
  if (kept_end == fields_.end()) return true;
  fields_.erase(kept_end, fields_.end());
  // Positions after the first removed field moved, so the index is rebuilt; this happens
  // only to a name that was repeated, and the call stays linear in the list.
  index_.clear();
  next_.clear();
  if (fields_.size() > kIndexFrom) BuildIndex();
  return true;
}

bool Headers::Add(std::string_view name, std::string_view value) {
  if (value.empty()) return false;
  if (fields_.capacity() == 0) fields_.reserve(kFieldsReserved);
  fields_.emplace_back(std::string(name), std::string(value));
  if (!index_.empty()) {
    IndexLast();
  } else if (fields_.size() > kIndexFrom) {
    BuildIndex();
  }
  return true;
}

bool Headers::Remove(std::string_view name) {
  auto kept_end = std::remove_if(fields_.begin(), fields_.end(), [name](const Field& field) {
    return AsciiIEquals(field.first, name);
  });
  if (kept_end == fields_.end()) return false;
  fields_.erase(kept_end, fields_.end());
  index_.clear();
  next_.clear();
  if (fields_.size() > kIndexFrom) BuildIndex();
  return true;
}

void detail::AppendFields(Payload& payload, const Headers& headers) {
  for (const auto& [name, value] : headers) {
    AppendBytes(payload, name);
    AppendBytes(payload, kColonSpace);
    AppendBytes(payload, value);
    AppendBytes(payload, kCrlf);
  }
  AppendBytes(payload, kCrlf);
}

void ContentType::Parse(std::string_view text) {
  std::size_t semicolon = text.find(';');
  std::string parameters;
  if (semicolon == std::string_view::npos) {
    media_type_.assign(text);
  } else {
    media_type_.assign(text.substr(0, semicolon));
    parameters.assign(text.substr(semicolon + 1));
  }
  TrimAsciiSpace(media_type_);
  TrimAsciiSpace(parameters);

  if (media_type_ == "multipart/form-data") {
    multipart_ = true;
    if (!FindParameter(parameters, "boundary", additional_)) {
      LOG_ERRO("Invalid 'multipart/form-data' content-type (no boundary)");
    }
  } else {
    FindParameter(parameters, "charset", additional_);
  }
}

void ContentType::Reset() {
  media_type_.clear();
  additional_.clear();
  multipart_ = false;
}

std::string MediaTypeFromExtension(std::string_view extension) {
  struct Row {
    std::string_view extension;
    std::string_view media_type;
  };
  static constexpr Row kTable[] = {
      {".htm", "text/html"},
      {".html", "text/html"},
      {".php", "text/html"},
      {".css", "text/css"},
      {".txt", "text/plain"},
      {".js", "application/javascript"},
      {".json", "application/json"},
      {".xml", "application/xml"},
      {".swf", "application/x-shockwave-flash"},
      {".flv", "video/x-flv"},
      {".png", "image/png"},
      {".jpe", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".jpg", "image/jpeg"},
      {".gif", "image/gif"},
      {".bmp", "image/bmp"},
      {".ico", "image/vnd.microsoft.icon"},
      {".tiff", "image/tiff"},
      {".tif", "image/tiff"},
      {".svg", "image/svg+xml"},
      {".svgz", "image/svg+xml"},
  };
  const std::string lower = AsciiLower(extension);
  for (const Row& row : kTable) {
    if (row.extension == lower) return std::string(row.media_type);
  }
  return "application/text";
}

FormPart::FormPart(std::string name, std::filesystem::path path, std::string file_name,
                   std::string media_type, std::string data)
    : name_(std::move(name)),
      path_(std::move(path)),
      file_name_(std::move(file_name)),
      media_type_(std::move(media_type)),
      data_(std::move(data)) {}

std::shared_ptr<FormPart> FormPart::New(std::string name, std::string data,
                                        std::string media_type) {
  return std::shared_ptr<FormPart>(new FormPart(std::move(name), {}, {}, std::move(media_type),
                                                std::move(data)));
}

std::shared_ptr<FormPart> FormPart::NewFile(std::string name, const std::filesystem::path& path,
                                            std::string media_type) {
  if (media_type.empty()) media_type = MediaTypeFromExtension(path.extension().string());
  return std::shared_ptr<FormPart>(
      new FormPart(std::move(name), path, path.filename().string(), std::move(media_type), {}));
}

void FormPart::SetHeaders() {
  if (!headers_.empty()) return;
  // Names are escaped as browsers escape them; a media type is written as given, so a
  // line break in it would start a field of its own. NUL is refused everywhere.
  using namespace std::string_view_literals;
  constexpr std::string_view kNul = "\0"sv;
  constexpr std::string_view kBreaksAndNul = "\r\n\0"sv;
  auto check = [this](std::string_view text, std::string_view refused, const char* what) {
    if (text.find_first_of(refused) == std::string_view::npos) return;
    Error error(kRequestError, "Invalid header field");
    // The name is checked first, so it can be quoted for the other texts.
    std::string part = text.data() == name_.data() ? std::string("form part")
                                                   : "form part \"" + EscapeQuoted(name_) + "\"";
    error.SetDetail(part + ": " + what + " with a line break or NUL");
    throw error;
  };
  check(name_, kNul, "name");
  check(file_name_, kNul, "file name");
  check(media_type_, kBreaksAndNul, "media type");
  std::string disposition = "form-data";
  if (!name_.empty()) disposition += "; name=\"" + EscapeQuoted(name_) + "\"";
  if (!file_name_.empty()) disposition += "; filename=\"" + EscapeQuoted(file_name_) + "\"";
  headers_.Set("Content-Disposition", disposition);
  headers_.Set("Content-Type", media_type_);  // refused when empty: no such field
}

std::int64_t FormPart::GetDataSize() const {
  // A string part is its value, even an empty one; only a file part is measured on disk.
  if (path_.empty()) return static_cast<std::int64_t>(data_.size());
  std::int64_t size = GetFileSize(path_);
  if (size < 0) throw Error(kFileError, "Cannot read the file");
  return size;
}

std::int64_t FormPart::GetSize() {
  SetHeaders();
  std::int64_t size = 0;
  for (const auto& [name, value] : headers_) {
    size += static_cast<std::int64_t>(name.size() + value.size() + 4);
  }
  const std::int64_t data_size = GetDataSize();
  if (!path_.empty()) measured_size_ = data_size;
  return size + data_size + 4;
}

void FormPart::Dump(std::ostream& stream, const std::string& prefix) const {
  for (const auto& [name, value] : headers_) {
    stream << prefix << name << ": " << value << std::endl;
  }
  stream << prefix << std::endl;
  if (path_.empty()) {
    PrintLines(data_, stream, prefix);
  } else {
    stream << prefix << "<file: " << path_.string() << ">" << std::endl;
  }
}

}  // namespace korvo
