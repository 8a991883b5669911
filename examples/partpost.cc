// partpost: uploads upload_dir/remember.txt as the form part "file", together with the
// JSON part "json" = {}, as a multipart/form-data POST, and prints the status code of
// the response. Posts to the echo service httpbin.org unless a URL is given.
//
// Exit status 1 after the usage text, a bad upload directory or an Error (whose line
// goes to standard output, where the status code would have been); 0 otherwise.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/request_builder.h"

namespace {

constexpr char kEchoHost[] = "httpbin.org";
constexpr char kDefaultUrl[] = "http://httpbin.org/post";
constexpr char kExample[] = "  $ ./partpost path/to/korvo/data/upload";

void PrintUsage(std::ostream& out) {
  out << "Usage: partpost <upload_dir> [url]\n"
      << "\n"
      << "Default url: " << kDefaultUrl << "\n"
      << "\n"
      << "Examples:\n"
      << "(Post to " << kEchoHost << ")\n"
      << kExample << "\n"
      << kExample << " " << kDefaultUrl << "\n"
      << "(Post to the example 'partsink')\n"
      << kExample << " http://localhost:8080/upload\n";
  out.flush();
}

bool IsUploadDir(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return true;
  }
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    LOG_ERRO("Cannot check the upload dir %s: %s", path.string().c_str(),
             error.message().c_str());
  }
  return false;
}

int Post(const std::filesystem::path& upload_dir, const std::string& url) {
  korvo::ClientSession session;
  try {
    // Building computes the form's size, which fails when remember.txt is missing.
    auto request = korvo::RequestBuilder()
                       .Method("POST")
                       .Url(url)
                       .FormFile("file", upload_dir / "remember.txt", "")
                       .FormData("json", "{}", "application/json")();
    auto response = session.Send(request);
    std::cout << response->GetStatus() << std::endl;
  } catch (const korvo::Error& error) {
    std::cout << error << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  // More than a directory and a URL is refused rather than ignored: silently falling
  // back to the public default would upload the file somewhere the user did not name.
  if (argc < 2 || argc > 3) {
    if (argc > 3) {
      std::cerr << "partpost: too many arguments" << std::endl;
    }
    PrintUsage(std::cout);
    return 1;
  }

  korvo::LogInit("", korvo::LOG_CONSOLE);
  const std::filesystem::path upload_dir(argv[1]);
  const std::string url = argc == 3 ? argv[2] : kDefaultUrl;
  if (!IsUploadDir(upload_dir)) {
    std::cerr << "Invalid upload dir!" << std::endl;
    return 1;
  }

  try {
    return Post(upload_dir, url);
  } catch (const std::exception& error) {
    std::cerr << "partpost: " << error.what() << std::endl;
    return 1;
  }
}
