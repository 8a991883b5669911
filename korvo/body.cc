#include "korvo/body.h"

#include <algorithm>
#include <system_error>

#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/utility.h"

namespace korvo {

namespace {

constexpr std::string_view kDashes = "--";
constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kDashesCrlf = "--\r\n";

}  // namespace

Payload StringBody::NextPayload(bool /*free_previous*/) {
  if (index_ != 0) return Payload();
  index_ = 1;
  return Payload{boost::asio::const_buffer(data_.data(), data_.size())};
}

void StringBody::Dump(std::ostream& stream, const std::string& prefix) const {
  if (!data_.empty()) PrintLines(data_, stream, prefix);
}

FileBody::FileBody(std::filesystem::path path, std::size_t chunk_size)
    : path_(std::move(path)), chunk_size_(chunk_size != 0 ? chunk_size : kDefaultChunkSize) {
  size_ = GetFileSize(path_);
  if (size_ < 0) throw Error(kFileError, "Cannot read the file");
}

FileBody::FileBody(std::filesystem::path path, bool auto_delete)
    : path_(std::move(path)), auto_delete_(auto_delete) {}

FileBody::~FileBody() {
  if (!auto_delete_ || path_.empty()) return;
  if (ifstream_.is_open()) ifstream_.close();
  std::error_code error;
  std::filesystem::remove(path_, error);  // a missing file is no error here
  if (error) LOG_ERRO("Failed to remove file (%s).", error.message().c_str());
}

bool FileBody::Move(const std::filesystem::path& new_path) {
  if (new_path == path_) return false;
  if (ifstream_.is_open()) ifstream_.close();
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
  path_.clear();
  return true;
}

void FileBody::InitPayload() {
  chunk_.resize(chunk_size_);
  if (ifstream_.is_open()) ifstream_.close();
  ifstream_.open(path_, std::ios::in | std::ios::binary);
  if (ifstream_.is_open()) {
    ifstream_.clear();
  } else {
    ifstream_.setstate(std::ios::failbit);
  }
  if (ifstream_.fail()) throw Error(kFileError, "Cannot read the file");
  remaining_ = size_;
}

Payload FileBody::NextPayload(bool /*free_previous*/) {
  if (!ifstream_.is_open() || chunk_.empty() || remaining_ <= 0) return Payload();
  const auto wanted = static_cast<std::streamsize>(
      std::min<std::int64_t>(remaining_, static_cast<std::int64_t>(chunk_.size())));
  ifstream_.read(chunk_.data(), wanted);
  const std::streamsize count = ifstream_.gcount();
  // Fewer bytes than "Content-Length" promised would leave the server waiting for the rest.
  if (count <= 0) {
    throw Error(kFileError, ifstream_.eof() ? "File size changed" : "Cannot read the file");
  }
  remaining_ -= count;
  return Payload{boost::asio::const_buffer(chunk_.data(), static_cast<std::size_t>(count))};
}

void FileBody::Dump(std::ostream& stream, const std::string& prefix) const {
  stream << prefix << "<file: " << path_.string() << ">" << std::endl;
}

void FormBody::FreePart(std::size_t index) {
  if (index < parts_.size()) parts_[index]->FreeData();
}

std::int64_t FormBody::GetSize() const {
  const auto boundary = static_cast<std::int64_t>(boundary_.size());
  std::int64_t size = 0;
  for (const auto& part : parts_) size += boundary + part->GetSize() + 4;
  return size + boundary + 6;
}

Payload FormBody::NextPayload(bool free_previous) {
  Payload payload;
  if (free_previous && index_ > 0) FreePart(static_cast<std::size_t>(index_ - 1));
  if (index_ < parts_.size()) {
    AppendBytes(payload, kDashes);
    AppendBytes(payload, boundary_);
    AppendBytes(payload, kCrlf);
    parts_[static_cast<std::size_t>(index_)]->GetPayload(payload);
    if (index_ + 1 == parts_.size()) {
      AppendBytes(payload, kDashes);
      AppendBytes(payload, boundary_);
      AppendBytes(payload, kDashesCrlf);
    }
  } else if (index_ == 0) {
    // A form without parts still ends with its closing delimiter, as browsers send an
    // empty form; GetSize counts it.
    AppendBytes(payload, kDashes);
    AppendBytes(payload, boundary_);
    AppendBytes(payload, kDashesCrlf);
  }
  ++index_;
  return payload;
}

void FormBody::Dump(std::ostream& stream, const std::string& prefix) const {
  for (const auto& part : parts_) {
    stream << prefix << "--" << boundary_ << std::endl;
    part->Dump(stream, prefix);
  }
  stream << prefix << "--" << boundary_ << "--" << std::endl;
}

}  // namespace korvo
