// A file upload: File makes a file the request body, read in pieces while it is sent;
// upload_progress reports the bytes written.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / "korvo_guide_upload.txt";
  {
    std::ofstream out(file);
    for (int line = 0; line < 5000; ++line) out << "line " << line << " of the upload\n";
  }

  korvo::ClientSession session;
  std::uint64_t sent = 0;
  korvo::SendOptions options;
  options.upload_progress = [&sent](std::uint64_t current, std::uint64_t total) {
    std::cout << "sent " << current << " of " << total << " bytes\n";
    sent = current;
    return true;  // false stops the upload
  };
  auto request = korvo::RequestBuilder()
                     .Method("PUT")
                     .Url(base + "/put")
                     .File(file)  // "Content-Type: text/plain", from the extension
                     ();
  auto response = session.Send(request, options);
  std::cout << response->GetStatus() << "\n";

  // httpbin echoes the body it received and the fields that came with it.
  bool ok = response->GetStatus() == 200 && sent == fs::file_size(file) &&
            response->GetData().find("line 4999 of the upload") != std::string::npos &&
            response->GetData().find("text/plain") != std::string::npos;
  fs::remove(file);
  return ok ? 0 : 1;
}
