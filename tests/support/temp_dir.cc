#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace korvo {
namespace test {

PrivateTempDir::PrivateTempDir() {
  // Unique per process and per directory made, so that tests run side by side (and one
  // test's directories one after another) never share one.
  static std::atomic<int> made{0};
  dir_ = std::filesystem::temp_directory_path() /
         ("korvo-test-" + std::to_string(::getpid()) + "-" + std::to_string(made++));
  std::filesystem::create_directories(dir_);
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
