// A body sink: the body goes to a function piece by piece as it arrives, and neither
// memory nor a file holds it; here a checksum over the bytes.
#include <cstddef>
#include <cstdint>
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;

  // Runs on the session's loop thread, once per piece received.
  std::uint64_t received = 0;
  std::uint32_t checksum = 0;
  korvo::SendOptions options;
  options.sink = [&](const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      checksum = checksum * 31 + static_cast<unsigned char>(data[i]);
    }
    received += size;
    return true;  // false stops the transfer
  };
  auto response = session.Send(
      korvo::RequestBuilder().Url(base + "/stream-bytes/100000?seed=7&chunk_size=4096")(), options);
  std::cout << response->GetStatus() << ": " << received << " bytes, checksum " << checksum
            << ", " << response->GetData().size() << " bytes kept\n";

  // The same bytes again, kept in memory this time, must give the same checksum.
  auto kept = session.Send(
      korvo::RequestBuilder().Url(base + "/stream-bytes/100000?seed=7&chunk_size=4096")());
  std::uint32_t expected = 0;
  for (char c : kept->GetData()) expected = expected * 31 + static_cast<unsigned char>(c);

  bool ok = response->GetStatus() == 200 && received == 100000 && checksum == expected &&
            response->GetData().empty() && kept->GetData().size() == 100000;
  return ok ? 0 : 1;
}
