// Temporary directories for tests, each removed with everything in it at the end.
//
// MakeUniqueTempDir makes a fresh directory below the system's temporary directory,
// owner-only. ScratchDir is one for the life of the object, for files a test writes and
// reads back (certificates and keys among them: its files are owner-only too).
// PrivateTempDir also points the temporary directory (TMPDIR, where streamed bodies go)
// at its directory while it lives, then restores TMPDIR, so that a test can see every
// temporary file korvo makes and leaves.
//
// Thread rules: TMPDIR is process-wide; make one PrivateTempDir at a time, on the test's
// thread. ScratchDir and MakeUniqueTempDir from any thread.
#ifndef KORVO_TESTS_SUPPORT_TEMP_DIR_H_
#define KORVO_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvo {
namespace test {

// A directory made for the caller alone (owner-only): `prefix` and random characters,
// below the temporary directory (TMPDIR, else /tmp). Throws std::runtime_error when it
// cannot.
std::filesystem::path MakeUniqueTempDir(const std::string& prefix);

// Writes `text` to `path`, readable by the owner only; false when it cannot.
bool WritePrivateFile(const std::filesystem::path& path, const std::string& text);

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "korvo-scratch-")
      : path_(MakeUniqueTempDir(prefix)) {}
  ~ScratchDir();

  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes `bytes` to the file `name` in the directory (owner-only), replacing it, and
  // returns its path; throws std::runtime_error when it cannot.
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

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
