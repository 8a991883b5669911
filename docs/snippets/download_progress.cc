// Streaming a download to a file with a progress bar: the body goes to a temporary
// file instead of memory, and the callback reports the bytes as they arrive.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  namespace fs = std::filesystem;
  const fs::path target = fs::temp_directory_path() / "korvo_guide_download.bin";

  // Runs on the session's loop thread: draw, do not block, do not call Send.
  std::size_t calls = 0;
  auto progress = [&calls](std::size_t current, std::size_t total) {
    ++calls;
    if (total == korvo::kInvalidLength || total == 0) {
      std::fprintf(stderr, "\r%zu bytes", current);
      return;
    }
    const int width = 40;
    const int filled = static_cast<int>(current * width / total);
    std::fprintf(stderr, "\r[%s%s] %3zu%%", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), current * 100 / total);
  };

  korvo::ClientSession session;
  auto request = korvo::RequestBuilder().Method("GET").Url(base + "/bytes/65536")();
  auto response = session.Send(request, true, progress);
  std::fprintf(stderr, "\n");

  auto file = response->GetFileBody();
  if (!file) return 1;
  std::cout << "downloaded " << file->GetSize() << " bytes to " << file->GetPath() << "\n";
  // The temporary file is deleted with the response unless it is moved away.
  if (!file->Move(target)) return 1;

  bool ok = response->GetStatus() == 200 && calls > 0 && fs::file_size(target) == 65536;
  fs::remove(target);
  return ok ? 0 : 1;
}
