#include "support/temp_dir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "korvo/internal/utility.h"

namespace korvo {
namespace test {

std::filesystem::path MakeUniqueTempDir(const std::string& prefix) {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  // create_directory makes it or reports that it was there: a name taken by another
  // test, even one running side by side, is never shared.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / (prefix + RandomString(12));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
      return candidate;
    }
  }
  throw std::runtime_error("cannot make a temporary directory in " + base.string());
}

bool WritePrivateFile(const std::filesystem::path& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDir::Write(const std::string& name, const std::string& bytes) const {
  std::filesystem::path file = path_ / name;
  if (!WritePrivateFile(file, bytes)) throw std::runtime_error("cannot write " + file.string());
  return file;
}

PrivateTempDir::PrivateTempDir() : dir_(MakeUniqueTempDir("korvo-test-")) {
  const char* old = std::getenv("TMPDIR");
  if (old != nullptr) old_ = old;
  ::setenv("TMPDIR", dir_.c_str(), 1);
}

PrivateTempDir::~PrivateTempDir() {
  if (old_) {
    ::setenv("TMPDIR", old_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::filesystem::path> PrivateTempDir::Files() const {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

}  // namespace test
}  // namespace korvo
