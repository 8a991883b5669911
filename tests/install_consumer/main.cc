// A program built against an installed korvo, as a user builds one (find_package or
// pkg-config): it includes korvo/korvo.h and sends one real request to a server of its
// own on 127.0.0.1, then provokes an Error thrown inside the library and catches it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "korvo/korvo.h"
#include "korvo/common.h"

// korvo's build settings must stay in korvo's build.
#ifdef BOOST_ASIO_NO_DEPRECATED
#error "BOOST_ASIO_NO_DEPRECATED leaked from korvo's build into a user's"
#endif
#if defined(LOG_VERB) || defined(LOG_INFO) || defined(LOG_USER) || defined(LOG_WARN) || \
    defined(LOG_ERRO)
#error "korvo/korvo.h defines an unprefixed LOG_ macro"
#endif

namespace {

constexpr char kBody[] = "hello from the loopback";

int Fail(const std::string& what) {
  std::cerr << "install consumer: " << what << "\n";
  return 1;
}

// Answers the first request on `listener` with kBody, keeping the request's head for
// the caller.
void ServeOnce(int listener, std::string* head) {
  int connection = accept(listener, nullptr, nullptr);
  if (connection < 0) return;
  char buffer[4096];
  while (head->find("\r\n\r\n") == std::string::npos) {
    ssize_t got = read(connection, buffer, sizeof(buffer));
    if (got <= 0) break;
    head->append(buffer, static_cast<std::size_t>(got));
  }
  std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Served-By: consumer\r\n"
                         "Content-Length: " + std::to_string(sizeof(kBody) - 1) +
                         "\r\nConnection: close\r\n\r\n" + kBody;
  for (std::size_t sent = 0; sent < response.size();) {
    ssize_t put = write(connection, response.data() + sent, response.size() - sent);
    if (put <= 0) break;
    sent += static_cast<std::size_t>(put);
  }
  close(connection);
}

}  // namespace

int main() {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Fail(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
  }
  std::string head;
  std::thread server(ServeOnce, listener, &head);

  std::shared_ptr<korvo::Response> response;
  std::string settings;
  try {
    korvo::ClientSession session(4096);
    // The settings touch most of the session's members: a shared library that does not
    // export one fails this program's link.
    session.SetConnectTimeout(10).SetReadTimeout(20).Accept("text/plain").AuthToken("t0ken");
    session.SetContentType("text/plain", "utf-8");
    settings = std::to_string(session.IsStarted()) + std::to_string(session.HasSslContext()) +
               " " + std::to_string(session.GetConnectTimeout()) + " " +
               std::to_string(session.GetReadTimeout()) + " " + session.GetMediaType() + " " +
               session.GetCharset() + " " + std::to_string(session.GetBufferSize()) + " " +
               std::to_string(session.GetHeaders().size() > 0);
    auto request = korvo::RequestBuilder()
                       .Method("GET")
                       .Url("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/hi")
                       .Query("name", "Ivo Tamm")();
    response = session.Send(request);
    settings += " " + std::to_string(session.GetPoolSize());
  } catch (const korvo::Error& error) {
    shutdown(listener, SHUT_RDWR);
    server.join();
    close(listener);
    return Fail("request failed: " + error.message());
  }
  server.join();
  close(listener);

  if (response->GetStatus() != 200 || response->GetData() != kBody ||
      response->GetHeader("X-Served-By") != "consumer") {
    return Fail("unexpected response:\n" + response->Dump());
  }
  if (settings != "10 10 20 text/plain utf-8 4096 1 0") {
    return Fail("unexpected settings: " + settings);
  }
  if (head.rfind("GET /hi?name=Ivo%20Tamm HTTP/1.1\r\n", 0) != 0 ||
      head.find("\r\nAccept: text/plain\r\n") == std::string::npos ||
      head.find("t0ken\r\n") == std::string::npos) {
    return Fail("unexpected request:\n" + head);
  }
  const std::string agent = std::string("Korvo/") + KORVO_VERSION_STRING;
  if (korvo::UserAgent() != agent ||
      head.find("\r\nUser-Agent: " + agent + "\r\n") == std::string::npos) {
    return Fail("user agent is not " + agent);
  }
#ifdef KORVO_EXPECTED_VERSION
  if (std::string(KORVO_EXPECTED_VERSION) != KORVO_VERSION_STRING) {
    return Fail(std::string("package version ") + KORVO_EXPECTED_VERSION +
                " but korvo/version.h says " + KORVO_VERSION_STRING);
  }
#endif

  // Thrown inside the library, caught here by type: the type's identity must survive
  // the boundary of a shared library.
  try {
    korvo::ClientSession session;
    session.Send(korvo::RequestBuilder().Method("GET").Url("ftp://127.0.0.1/")());
    return Fail("a request with scheme ftp was sent");
  } catch (const korvo::Error& error) {
    if (error.code() != korvo::kRequestError) return Fail("unexpected error: " + error.message());
  }

  std::cout << korvo::UserAgent() << ": " << response->GetStatus() << " " << response->GetData()
            << "\n";
  return 0;
}
