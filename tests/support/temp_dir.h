// PrivateTempDir: points the temporary directory (TMPDIR, where streamed bodies go) at a
// fresh private directory while it lives, then restores TMPDIR and removes the
// directory, so that a test can see every temporary file korvo makes and leaves.
//
// Thread rules: TMPDIR is process-wide; make one at a time, on the test's thread.
#ifndef KORVO_TESTS_SUPPORT_TEMP_DIR_H_
#define KORVO_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvo {
namespace test {

class PrivateTempDir {
 public:
  PrivateTempDir();
  ~PrivateTempDir();

  PrivateTempDir(const PrivateTempDir&) = delete;
  PrivateTempDir& operator=(const PrivateTempDir&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  // The regular files in it now.
  std::vector<std::filesystem::path> Files() const;
  bool Empty() const { return Files().empty(); }

 private:
  std::filesystem::path dir_;
  std::optional<std::string> old_;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_TEMP_DIR_H_
