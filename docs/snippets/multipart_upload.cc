// A multipart upload: text fields and a file in one multipart/form-data body. The
// builder draws the boundary and computes the length without reading the file.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  namespace fs = std::filesystem;
  const fs::path report = fs::temp_directory_path() / "korvo_guide_report.txt";
  std::ofstream(report) << "all systems nominal\n";

  korvo::ClientSession session;
  auto request = korvo::RequestBuilder()
                     .Method("POST")
                     .Url(base + "/post")
                     .FormData("title", "Weekly report")
                     .FormData("meta", R"({"week": 12})", "application/json")
                     .FormFile("attachment", report)
                     ();
  auto response = session.Send(request);
  std::cout << response->GetData() << "\n";

  bool ok = response->GetStatus() == 200 &&
            response->GetData().find("\"title\":\"Weekly report\"") != std::string::npos &&
            response->GetData().find("all systems nominal") != std::string::npos;
  fs::remove(report);
  return ok ? 0 : 1;
}
