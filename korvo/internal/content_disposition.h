// ContentDisposition: reads the name and file name out of a form part's
// "Content-Disposition" value, as a received multipart body names its parts.
//
// Thread rules: a plain value, used by one thread at a time.
#ifndef KORVO_INTERNAL_CONTENT_DISPOSITION_H_
#define KORVO_INTERNAL_CONTENT_DISPOSITION_H_

#include <string>
#include <string_view>

namespace korvo {

class ContentDisposition {
 public:
  // False unless the value starts with "form-data" and every parameter has an "=".
  bool Init(std::string_view text);

  const std::string& GetName() const { return name_; }
  const std::string& GetFileName() const { return file_name_; }

 private:
  std::string name_;
  std::string file_name_;
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONTENT_DISPOSITION_H_
