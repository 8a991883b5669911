// Content decoding: off by default; with SetDecompress the session asks for compressed
// bodies and hands back the decoded bytes.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  session.SetDecompress(true);  // "Accept-Encoding: gzip, deflate, br, zstd"
  session.SetMaxDecodedSize(64 << 20);  // a small compressed bomb stops here

  auto response = session.Send(korvo::RequestBuilder().Url(base + "/gzip")());
  std::cout << "received " << response->GetHeader("Content-Encoding") << ", decoded to "
            << response->GetData().size() << " bytes\n";
  return response->GetData().find("gzipped") != std::string::npos ? 0 : 1;
}
