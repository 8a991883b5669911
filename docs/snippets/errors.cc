// Error handling: a failed exchange throws korvo::Error; an HTTP error status does not,
// it is a response like any other.
#include <iostream>

#include "korvo/korvo.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string base = argv[1];

  korvo::ClientSession session;
  bool refused = false;

  // A scheme the session does not speak fails before anything is sent.
  try {
    session.Send(korvo::RequestBuilder().Url("ftp://127.0.0.1/file")());
  } catch (const korvo::Error& error) {
    std::cout << error << "\n";             // ERROR(<code>): <message>
    std::cout << error.Describe() << "\n";  // the same, then " - " and the detail, if any
    std::cout << "code " << error.code() << ", message \"" << error.message() << "\"\n";
    refused = error.code() == korvo::kRequestError;
  }

  // 404 is an answer, not a failure: check the status.
  auto response = session.Send(korvo::RequestBuilder().Url(base + "/status/404")());
  if (response->GetStatus() != 200) {
    std::cout << "server said " << response->GetStatus() << "\n";
  }

  return refused && response->GetStatus() == 404 ? 0 : 1;
}
