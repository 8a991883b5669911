#include "korvo/internal/body_handlers.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "korvo/body.h"
#include "korvo/logger.h"
#include "korvo/message.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

// A Content-Length of a hostile or mistaken server must not allocate up front more
// than this; a larger body still grows geometrically as it arrives.
constexpr std::uint64_t kMaxReserve = std::uint64_t{64} << 20;

constexpr int kMaxOpenAttempts = 100;

constexpr std::uintptr_t kHugePageSize = std::uintptr_t{2} << 20;

}  // namespace

// ---------------------------------------------------------------------------------
// StringBodyHandler

bool StringBodyHandler::AddContent(const char* data, std::size_t count) {
  if (content_.capacity() - content_.size() < count) {
    Grow(std::max(content_.size() + count, 2 * content_.capacity()));
  }
  content_.append(data, count);
  return true;
}

void StringBodyHandler::Reserve(std::uint64_t length) {
  Grow(static_cast<std::size_t>(std::min(length, kMaxReserve)));
}

void StringBodyHandler::Grow(std::size_t capacity) {
  if (capacity <= content_.capacity()) return;
  if (capacity < kHugePageSize * 2) {
    content_.reserve(capacity);
    return;
  }
  // A large body is written once, front to back, into fresh memory: with 4 KiB pages
  // every 4 KiB costs a page fault, which on a virtual machine costs more than the
  // bytes. Huge pages are asked for before the first byte lands, so the copy of what
  // came so far is the first touch too.
  std::string bigger;
  bigger.reserve(capacity);
#ifdef MADV_HUGEPAGE
  auto begin = reinterpret_cast<std::uintptr_t>(bigger.data());
  std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  std::uintptr_t last = (begin + bigger.capacity()) & ~(kHugePageSize - 1);
  // Only advice: where the system has no huge pages to give, nothing changes.
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  bigger.append(content_);
  content_.swap(bigger);
}

bool StringBodyHandler::IsCompressed() const {
  if (coding_ != BodyCoding::kAsReceived) return coding_ == BodyCoding::kUndecodable;
  ContentEncoding encoding = message_->GetContentEncoding();
  return encoding == kGzip || encoding == kDeflate;
}

bool StringBodyHandler::Finish() {
  if (content_.empty()) return true;
  bool compressed = IsCompressed();
  auto body = std::make_shared<StringBody>(std::move(content_), compressed);
  content_.clear();
  if (compressed) LOG_WARN("Compressed HTTP content remains untouched");
  message_->SetBody(body, false);
  return true;
}

// ---------------------------------------------------------------------------------
// FileBodyHandler

FileBodyHandler::~FileBodyHandler() {
  CloseFile();
  if (!handed_over_ && !temp_path_.empty()) {
    std::error_code ec;
    std::filesystem::remove(temp_path_, ec);
  }
}

void FileBodyHandler::CloseFile() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  write_buffer_.reset();
  buffered_ = 0;
  // read_buffer_ stays: Finish may run while the bytes being parsed still lie in it.
}

bool FileBodyHandler::OpenFile() {
  std::filesystem::path directory;
  try {
    directory = std::filesystem::temp_directory_path();
  } catch (const std::exception&) {
    LOG_ERRO("Failed to generate temp path for streaming");
    return false;
  }
  // O_EXCL never opens an existing file (nor follows a planted link); a name that is
  // taken just draws another one.
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    std::filesystem::path path;
    try {
      path = directory / RandomString(10);
    } catch (const std::exception&) {
      LOG_ERRO("Failed to generate temp path for streaming");
      return false;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      LOG_ERRO("Failed to open the temp file: %s", path.string().c_str());
      return false;
    }
    fd_ = fd;
    // Pieces as small as the read buffer (1 KiB by default) would each cost a write.
    write_buffer_ = std::make_unique<char[]>(kFileBufferSize);
    temp_path_ = std::move(path);
    return true;
  }
  LOG_ERRO("Failed to open the temp file: %s", (directory / "*").string().c_str());
  return false;
}

bool FileBodyHandler::AddContent(const char* data, std::size_t count) {
  if (count == 0) return true;
  // A large piece (one read straight into read_buffer_, a decoded block) is worth a
  // write of its own more than a copy; it takes what is buffered along.
  if (count >= kFileBufferSize / 4 || count > kFileBufferSize - buffered_) {
    if (!Write(data, count)) return false;
  } else {
    std::memcpy(write_buffer_.get() + buffered_, data, count);
    buffered_ += count;
  }
  streamed_size_ += count;
  return true;
}

bool FileBodyHandler::Write(const char* data, std::size_t count) {
  if (fd_ < 0) {
    LOG_ERRO("Failed to write the temp file: %s", temp_path_.string().c_str());
    return false;
  }
  if (buffered_ == 0 && count == 0) return true;
  iovec pieces[2] = {{write_buffer_.get(), buffered_}, {const_cast<char*>(data), count}};
  iovec* piece = buffered_ != 0 ? pieces : pieces + 1;
  int left = buffered_ != 0 ? 2 : 1;
  while (left > 0) {
    ssize_t written = ::writev(fd_, piece, left);
    if (written < 0 && errno == EINTR) continue;
    // A regular file takes everything unless it is out of room: what it left is asked
    // for again, and a full disk then says so.
    if (written <= 0 && piece[0].iov_len + (left > 1 ? piece[1].iov_len : 0) > 0) {
      LOG_ERRO("Failed to write the temp file: %s (%s)", temp_path_.string().c_str(),
               written < 0 ? std::strerror(errno) : "nothing written");
      return false;
    }
    auto done = static_cast<std::size_t>(std::max<ssize_t>(written, 0));
    while (left > 0 && done >= piece->iov_len) {
      done -= piece->iov_len;
      ++piece;
      --left;
    }
    if (left > 0) {
      piece->iov_base = static_cast<char*>(piece->iov_base) + done;
      piece->iov_len -= done;
    }
  }
  buffered_ = 0;
  return true;
}

std::vector<char>* FileBodyHandler::GetReadBuffer(std::uint64_t wanted) {
  if (fd_ < 0) return nullptr;
  // Only the last read of a body asks for less: shrinking is free, and the buffer is
  // filled (zeroed) once, at its first use.
  read_buffer_.resize(static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, kFileReadSize))));
  return &read_buffer_;
}

bool FileBodyHandler::Finish() {
  bool ok = Write(nullptr, 0);  // logs its failure
  CloseFile();
  if (!ok) return false;
  auto body = std::make_shared<FileBody>(temp_path_, true,
                                         static_cast<std::int64_t>(streamed_size_));
  handed_over_ = true;
  message_->SetBody(body, false);
  return true;
}

// ---------------------------------------------------------------------------------
// SinkBodyHandler

std::vector<char>* SinkBodyHandler::GetReadBuffer(std::uint64_t wanted) {
  if (stopped_) return nullptr;
  read_buffer_.resize(static_cast<std::size_t>(
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, kSinkReadSize))));
  return &read_buffer_;
}

bool SinkBodyHandler::AddContent(const char* data, std::size_t count) {
  if (count == 0) return true;
  bool go_on;
  try {
    go_on = sink_(data, count);
  } catch (const std::exception& exception) {
    // Nothing may escape into the loop; a sink that cannot take the body stops it.
    LOG_ERRO("Body sink error: %s", exception.what());
    go_on = false;
  } catch (...) {
    LOG_ERRO("Body sink error: %s", "unknown exception");
    go_on = false;
  }
  if (!go_on) {
    stopped_ = true;
    return false;
  }
  delivered_ += count;
  return true;
}

}  // namespace korvo
