// Vocabulary of the message model: ordered header lists, parsed "Content-Type" values,
// media types by file extension and multipart form parts.
//
// Thread rules: none of these types is synchronised; each belongs to one message or
// form part and is used by one thread at a time. Free functions may be called from any
// thread.
#ifndef KORVO_COMMON_H_
#define KORVO_COMMON_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvo {

// Equality without regard to ASCII case, as HTTP compares field names and tokens; no
// locale is consulted (a locale's case rules cost a facet lookup per byte).
bool AsciiIEquals(std::string_view a, std::string_view b);

// Headers: an ordered list of (name, value) fields, names matched without regard to
// ASCII case. A name may occur more than once (a received head keeps every
// "Set-Cookie"); Find, Get and Has see the first field of a name, GetAll every one.
// Values are stored as given; an empty value is never stored.
class Headers {
 public:
  using Field = std::pair<std::string, std::string>;
  using List = std::vector<Field>;
  using const_iterator = List::const_iterator;

  // The first field whose name matches, or end().
  const_iterator Find(std::string_view name) const;

  // The value of the first matching field, or an empty string when there is none.
  const std::string& Get(std::string_view name, bool* existed = nullptr) const;

  // The values of every matching field, in list order. Copies rather than views: they
  // stay valid after the message that held them is gone.
  std::vector<std::string> GetAll(std::string_view name) const;

  bool Has(std::string_view name) const { return Find(name) != end(); }

  // Makes `value` the name's only value, as a request header set twice is sent once with
  // the later value: the first matching field takes it in place (its stored name and
  // position stay) and later matching fields are removed; without a match a new field
  // is appended. An empty value changes nothing and returns false.
  bool Set(std::string_view name, std::string_view value);

  // Appends a field even when the name is present already. An empty value changes
  // nothing and returns false.
  bool Add(std::string_view name, std::string_view value);

  // Removes every field of the name; false when there was none.
  bool Remove(std::string_view name);

  const_iterator begin() const { return fields_.begin(); }
  const_iterator end() const { return fields_.end(); }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }

 private:
  // Short lists are searched in order; past this many fields a received head could
  // make every lookup, and so the whole head, quadratic, and an index takes over.
  static constexpr std::size_t kIndexFrom = 16;

  static constexpr std::size_t kNoNext = static_cast<std::size_t>(-1);

  // Where a name's fields start and end; the fields between are chained through next_,
  // so that neither Add nor GetAll walks the fields of other names.
  struct Positions {
    std::size_t first;
    std::size_t last;
  };

  static std::string Folded(std::string_view name);
  void BuildIndex();
  void IndexLast();

  List fields_;
  // ASCII-lower-cased name -> its positions in fields_; empty while the list is short.
  std::unordered_map<std::string, Positions> index_;
  // With the index: the position of the next field of the same name, or kNoNext.
  std::vector<std::size_t> next_;
};

// ContentType: a parsed "Content-Type" value. For "multipart/form-data" the extra
// parameter is the boundary, for anything else the charset.
class ContentType {
 public:
  ContentType() = default;
  explicit ContentType(std::string_view text) { Parse(text); }

  // Overwrites the media type; sets the multipart flag and the parameter only when found.
  void Parse(std::string_view text);
  void Init(std::string_view text) {
    Reset();
    Parse(text);
  }
  void Reset();

  // A media type is present and a multipart type has its boundary.
  bool Valid() const { return !media_type_.empty() && (!multipart_ || !additional_.empty()); }

  const std::string& GetMediaType() const { return media_type_; }
  bool IsMultipart() const { return multipart_; }
  const std::string& GetCharset() const { return additional_; }
  const std::string& GetBoundary() const { return additional_; }

 private:
  std::string media_type_;
  std::string additional_;
  bool multipart_ = false;
};

// The library's product token, "Korvo/" and the version ("Korvo/0.2.0").
const std::string& UserAgent();

// Media type for a file extension given with its dot (".png"); "application/text" when
// the extension is unknown or empty. Letters are matched without regard to case.
std::string MediaTypeFromExtension(std::string_view extension);

class FormPart;
using FormParts = std::vector<std::shared_ptr<FormPart>>;

// FormPart: one field of a multipart/form-data body, either a string value or a file.
// A file is measured without being read and never held by the part: the form body that
// sends it reads it in chunks, so a form of any size can be sent, and sent again.
//
// Thread rules: not synchronised; a part must not be used elsewhere while its request
// is being sent.
class FormPart {
 public:
  static std::shared_ptr<FormPart> New(std::string name, std::string data,
                                       std::string media_type = std::string());
  // An empty media type is guessed from the file name's extension.
  static std::shared_ptr<FormPart> NewFile(std::string name, const std::filesystem::path& path,
                                           std::string media_type = std::string());

  FormPart(const FormPart&) = delete;
  FormPart& operator=(const FormPart&) = delete;

  const std::string& GetName() const { return name_; }
  const std::filesystem::path& GetPath() const { return path_; }
  const std::string& GetFileName() const { return file_name_; }
  const std::string& GetMediaType() const { return media_type_; }
  // "Content-Disposition" and "Content-Type" as the part sends them; empty until a form
  // body has measured the part (a request built with it has).
  const Headers& GetHeaders() const { return headers_; }
  // A string part's value; empty for a file part.
  const std::string& GetData() const { return data_; }
  bool IsFile() const { return !path_.empty(); }

  // Bytes of the value or file. Throws Error(kFileError) when a file cannot be sized.
  std::int64_t GetDataSize() const;

  void Dump(std::ostream& stream, const std::string& prefix) const;

 private:
  // The form body's side of a part (korvo/internal/message_access.h).
  friend struct FormPartAccess;

  FormPart(std::string name, std::filesystem::path path, std::string file_name,
           std::string media_type, std::string data);

  // Builds "Content-Disposition" (and "Content-Type" when a media type is known); does
  // nothing when the fields exist already. Throws Error(kRequestError, "Invalid header
  // field") for a name, file name or media type that would break the part's head.
  void SetHeaders();

  // Bytes of the whole part: its fields, the blank line, the data and the closing CRLF.
  // Remembers the file's size, which the form body holds the file to when sending it.
  std::int64_t GetSize();

  std::string name_;
  std::filesystem::path path_;
  std::string file_name_;
  std::string media_type_;
  Headers headers_;
  std::string data_;
  std::int64_t measured_size_ = -1;  // file size counted by GetSize, -1 before
};

}  // namespace korvo

#endif  // KORVO_COMMON_H_
