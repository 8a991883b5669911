// Streaming a download to a file with a progress bar: the body goes to a temporary
// file in TMPDIR instead of memory, and the callback reports the bytes as they arrive.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  // As `TMPDIR=<scratch> program` would: streamed bodies land in TMPDIR (else /tmp).
  // Set before any session exists, since the environment is no place for threads.
  namespace fs = std::filesystem;
  const fs::path scratch = fs::temp_directory_path() / "korvo_guide_scratch";
  const fs::path target = fs::temp_directory_path() / "korvo_guide_download.bin";
  fs::create_directories(scratch);
  setenv("TMPDIR", scratch.c_str(), 1);

  // Runs on the session's loop thread: draw, do not block, do not call Send.
  std::uint64_t calls = 0;
  korvo::SendOptions options;
  options.stream = true;  // the body goes to a temporary file, not memory
  options.progress = [&calls](std::uint64_t current, std::uint64_t total) {
    ++calls;
    if (total == korvo::kInvalidLength || total == 0) {
      std::cerr << "\r" << current << " bytes";
      return true;
    }
    const std::uint64_t width = 40;
    const std::uint64_t filled = current * width / total;
    std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
              << current * 100 / total << "%";
    return true;  // false stops the download
  };

  korvo::ClientSession session;
  auto response = session.Send(korvo::RequestBuilder().Url(base + "/bytes/65536")(), options);
  std::cerr << "\n";

  auto file = response->GetFileBody();
  if (!file) return 1;
  std::cout << "downloaded " << file->GetSize() << " bytes to " << file->GetPath() << "\n";
  const bool in_tmpdir = file->GetPath().parent_path() == scratch;
  // The temporary file is deleted with the response unless it is moved away.
  if (!file->Move(target)) return 1;

  bool ok = response->GetStatus() == 200 && calls > 0 && in_tmpdir &&
            fs::file_size(target) == 65536 && fs::is_empty(scratch);
  fs::remove(target);
  fs::remove_all(scratch);
  return ok ? 0 : 1;
}
