#include "korvo/body.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>

#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/payload.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

constexpr std::string_view kDashes = "--";
constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kDashesCrlf = "--\r\n";

// The process's umask, read without changing it: umask(2) can only be read by setting
// it, which would briefly change it for every other thread creating files.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
  }
  return 022;  // the usual default, for a kernel that does not say
}

}  // namespace

void Body::InitPayload() {}

detail::Payload Body::NextPayload(bool /*free_previous*/) { return detail::Payload(); }

detail::Payload StringBody::NextPayload(bool /*free_previous*/) {
  if (index_ != 0) return detail::Payload();
  index_ = 1;
  return detail::Payload{detail::ByteRange(data_.data(), data_.size())};
}

void StringBody::Dump(std::ostream& stream, const std::string& prefix) const {
  if (!data_.empty()) PrintLines(data_, stream, prefix);
}

FileBody::FileBody(std::filesystem::path path, std::size_t chunk_size)
    : path_(std::move(path)),
      chunk_size_(chunk_size != 0 ? chunk_size : kDefaultChunkSize),
      file_(std::make_unique<std::ifstream>()) {
  size_ = GetFileSize(path_);
  if (size_ < 0) throw Error(kFileError, "Cannot read the file");
}

FileBody::FileBody(std::filesystem::path path, bool auto_delete, std::int64_t size)
    : path_(std::move(path)), chunk_size_(kDefaultChunkSize), auto_delete_(auto_delete),
      size_(size), file_(std::make_unique<std::ifstream>()) {}

FileBody::~FileBody() {
  if (!auto_delete_ || path_.empty()) return;
  if (file_->is_open()) file_->close();
  std::error_code error;
  std::filesystem::remove(path_, error);  // a missing file is no error here
  if (error) LOG_ERRO("Failed to remove file (%s).", error.message().c_str());
}

bool FileBody::Move(const std::filesystem::path& new_path) {
  if (new_path == path_) return false;
  if (file_->is_open()) file_->close();
  std::error_code error;
  std::filesystem::rename(path_, new_path, error);
  if (error == std::errc::cross_device_link) {
    // Temporary files often live on another file system than their destination.
    error.clear();
    std::filesystem::copy_file(path_, new_path,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
      std::error_code ignored;
      std::filesystem::remove(new_path, ignored);  // no half-copied file stays behind
    } else {
      std::error_code removal;
      std::filesystem::remove(path_, removal);
      if (removal) LOG_ERRO("Failed to remove file (%s).", removal.message().c_str());
    }
  }
  if (error) {
    LOG_ERRO("Failed to rename file (%s).", error.message().c_str());
    return false;
  }
  if (auto_delete_) {
    // The temporary file was made 0600 so that nobody could read a body while it
    // arrived; where the caller keeps it, it is an ordinary new file.
    std::error_code chmod_error;
    std::filesystem::permissions(new_path,
                                 static_cast<std::filesystem::perms>(0666 & ~CurrentUmask()),
                                 std::filesystem::perm_options::replace, chmod_error);
    if (chmod_error) {
      LOG_WARN("Failed to set the moved file's permissions (%s).", chmod_error.message().c_str());
    }
  }
  path_.clear();
  return true;
}

void FileBody::InitPayload() {
  chunk_.resize(chunk_size_);
  if (file_->is_open()) file_->close();
  file_->open(path_, std::ios::in | std::ios::binary);
  if (file_->is_open()) {
    file_->clear();
  } else {
    file_->setstate(std::ios::failbit);
  }
  if (file_->fail()) throw Error(kFileError, "Cannot read the file");
  remaining_ = size_;
}

detail::Payload FileBody::NextPayload(bool /*free_previous*/) {
  if (!file_->is_open() || chunk_.empty() || remaining_ <= 0) return detail::Payload();
  const auto wanted = static_cast<std::streamsize>(
      std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(chunk_.size())));
  file_->read(chunk_.data(), wanted);
  const std::streamsize count = file_->gcount();
  // Fewer bytes than "Content-Length" promised would leave the server waiting for the rest.
  if (count <= 0) {
    throw Error(kFileError, file_->eof() ? "File size changed" : "Cannot read the file");
  }
  remaining_ -= count;
  return detail::Payload{detail::ByteRange(chunk_.data(), static_cast<std::size_t>(count))};
}

void FileBody::Dump(std::ostream& stream, const std::string& prefix) const {
  stream << prefix << "<file: " << path_.string() << ">" << std::endl;
}

FormBody::FormBody(FormParts parts, std::string boundary, std::size_t chunk_size)
    : parts_(std::move(parts)),
      boundary_(std::move(boundary)),
      chunk_size_(chunk_size != 0 ? chunk_size : kDefaultChunkSize),
      file_(std::make_unique<std::ifstream>()) {}

FormBody::~FormBody() = default;

std::int64_t FormBody::GetSize() const {
  // Measured again, a file that changed after the request was built would give a size
  // other than its "Content-Length", and the form would be sent to that size: a server
  // waiting for the bytes promised.
  if (size_ >= 0) return size_;
  const auto boundary = static_cast<std::int64_t>(boundary_.size());
  std::vector<std::int64_t> file_sizes;
  file_sizes.reserve(parts_.size());
  std::int64_t size = 0;
  for (const auto& part : parts_) {
    size += boundary + FormPartAccess::GetSize(*part) + 4;
    file_sizes.push_back(FormPartAccess::GetMeasuredSize(*part));
  }
  file_sizes_ = std::move(file_sizes);
  size_ = size + boundary + 6;
  return size_;
}

void FormBody::InitPayload() {
  // A send abandoned half way left its file open; a second send starts from its start.
  if (file_->is_open()) file_->close();
  index_ = 0;
  finished_ = false;
  remaining_ = 0;
}

detail::Payload FormBody::NextPayload(bool free_previous) {
  detail::Payload payload;
  if (finished_) {
    if (free_previous) std::string().swap(chunk_);
    return payload;
  }
  if (parts_.empty()) {
    // A form without parts still ends with its closing delimiter, as browsers send an
    // empty form; GetSize counts it.
    EndPart(payload);
    return payload;
  }
  if (!file_->is_open()) {
    FormPart& part = *parts_[index_];
    detail::AppendBytes(payload, kDashes);
    detail::AppendBytes(payload, boundary_);
    detail::AppendBytes(payload, kCrlf);
    FormPartAccess::AppendHead(part, payload);
    if (!part.IsFile()) {
      if (!part.GetData().empty()) detail::AppendBytes(payload, part.GetData());
      EndPart(payload);
      return payload;
    }
    OpenFile(part);
  }
  AppendChunk(payload);
  return payload;
}

void FormBody::OpenFile(const FormPart& part) {
  // Sized now when the form was never measured; nothing was promised for it then.
  const std::int64_t size = index_ < file_sizes_.size() && file_sizes_[index_] >= 0
                                ? file_sizes_[index_]
                                : part.GetDataSize();
  file_->clear();
  // Unbuffered, a chunk is read straight into chunk_ without a second copy, and a file
  // that shrinks while it is sent is noticed at the next chunk rather than hidden by
  // bytes buffered before.
  file_->rdbuf()->pubsetbuf(nullptr, 0);
  file_->open(part.GetPath(), std::ios::in | std::ios::binary);
  if (!file_->is_open()) FailFile("Cannot read the file");
  // The form's "Content-Length" was computed from the measured size; other byte counts
  // would corrupt the framing of everything that follows on the connection. Checked
  // before the first byte, so that a changed file does not cost a whole upload.
  file_->seekg(0, std::ios::end);
  const std::streamoff actual = file_->tellg();
  file_->seekg(0, std::ios::beg);
  if (actual < 0 || file_->fail()) FailFile("Cannot read the file");
  if (actual != size) FailFile("File size changed");
  remaining_ = size;
}

void FormBody::AppendChunk(detail::Payload& payload) {
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(chunk_size_)));
  if (chunk_.size() < wanted) chunk_.resize(wanted);
  if (wanted > 0) {
    file_->read(chunk_.data(), static_cast<std::streamsize>(wanted));
    if (static_cast<std::size_t>(file_->gcount()) != wanted) {
      FailFile(file_->eof() ? "File size changed" : "Cannot read the file");
    }
    remaining_ -= static_cast<std::int64_t>(wanted);
    detail::AppendBytes(payload, std::string_view(chunk_.data(), wanted));
  }
  if (remaining_ > 0) return;
  // A file that grew while it was sent would otherwise go out cut without a word.
  if (file_->peek() != std::ifstream::traits_type::eof()) FailFile("File size changed");
  file_->close();
  EndPart(payload);
}

void FormBody::FailFile(const char* message) {
  if (file_->is_open()) file_->close();
  throw Error(kFileError, message);
}

void FormBody::EndPart(detail::Payload& payload) {
  if (!parts_.empty()) {
    detail::AppendBytes(payload, kCrlf);
    if (++index_ < parts_.size()) return;
  }
  detail::AppendBytes(payload, kDashes);
  detail::AppendBytes(payload, boundary_);
  detail::AppendBytes(payload, kDashesCrlf);
  finished_ = true;
}

void FormBody::Dump(std::ostream& stream, const std::string& prefix) const {
  for (const auto& part : parts_) {
    stream << prefix << "--" << boundary_ << std::endl;
    part->Dump(stream, prefix);
  }
  stream << prefix << "--" << boundary_ << "--" << std::endl;
}

}  // namespace korvo
