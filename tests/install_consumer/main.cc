// A program built against an installed korvo, as a user builds one (find_package or
// pkg-config): it includes korvo/korvo.h and sends real requests to a server of its own
// on 127.0.0.1, then provokes an Error thrown inside the library and catches it. Between
// them it calls every public class and function once: against the shared library, a
// public call that the library does not export fails this program's link.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// The short names, for those who want them (after the check above).
#include "korvo/logger.h"

namespace {

constexpr char kBody[] = "hello from the loopback";

int Fail(const std::string& what) {
  std::cerr << "install consumer: " << what << "\n";
  return 1;
}

// Requests the server answers, one connection each: Send three ways and SendAsync.
constexpr int kRequests = 4;

// Answers `count` requests on `listener` with kBody, keeping the first request's head for
// the caller. A request body (Content-Length only) is read before the answer, so that
// closing never resets a connection with unread bytes.
void Serve(int listener, int count, std::string* head) {
  for (int i = 0; i < count; ++i) {
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) return;
    std::string request;
    char buffer[4096];
    std::size_t end = std::string::npos;
    while ((end = request.find("\r\n\r\n")) == std::string::npos) {
      ssize_t got = read(connection, buffer, sizeof(buffer));
      if (got <= 0) break;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    if (end != std::string::npos) {
      std::size_t length = 0;
      const std::size_t field = request.find("\r\nContent-Length: ");
      if (field != std::string::npos && field < end) {
        length = std::strtoul(request.c_str() + field + 18, nullptr, 10);
      }
      while (request.size() < end + 4 + length) {
        ssize_t got = read(connection, buffer, sizeof(buffer));
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
      }
    }
    if (i == 0) *head = request.substr(0, end == std::string::npos ? end : end + 4);
    std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Served-By: consumer\r\n"
        "Content-Length: " + std::to_string(sizeof(kBody) - 1) +
        "\r\nConnection: close\r\n\r\n" + kBody;
    for (std::size_t sent = 0; sent < response.size();) {
      ssize_t put = write(connection, response.data() + sent, response.size() - sent);
      if (put <= 0) break;
      sent += static_cast<std::size_t>(put);
    }
    close(connection);
  }
}

// The vocabulary of the public headers, without the network: every call is made once.
// Returns what went wrong, or nothing.
std::string TouchVocabulary(const std::filesystem::path& dir) {
  std::ostringstream out;
  const std::filesystem::path text_file = dir / "part.txt";
  std::ofstream(text_file) << "file part";

  korvo::Headers headers;
  headers.Set("A", "1");
  headers.Add("a", "2");
  const bool has = headers.Has("A") && headers.Find("a") != headers.end() &&
                   headers.begin() != headers.end() && !headers.empty();
  if (!has || headers.size() != 2 || headers.Get("A") != "1" || headers.GetAll("a").size() != 2 ||
      !headers.Remove("A")) {
    return "Headers";
  }
  korvo::ContentType content_type("text/html; charset=utf-8");
  content_type.Parse("multipart/form-data; boundary=b");
  if (!content_type.Valid() || !content_type.IsMultipart() || content_type.GetBoundary() != "b" ||
      content_type.GetCharset() != "b" || content_type.GetMediaType() != "multipart/form-data") {
    return "ContentType";
  }
  content_type.Init("text/plain");
  content_type.Reset();
  if (!korvo::AsciiIEquals("Host", "HOST") ||
      korvo::MediaTypeFromExtension(".png") != "image/png" ||
      korvo::DefaultReason(404) != "Not Found") {
    return "free functions";
  }

  korvo::Url url("http://127.0.0.1:1/a?x=1#f", false);
  url.AppendPath("b c", true).AddQuery("k", "v w", true);
  const bool url_parts = url.GetScheme() == "http" && url.GetHost() == "127.0.0.1" &&
                         url.GetPort() == "1" && url.GetPath() == "/a/b%20c" &&
                         !url.GetQuery().empty() && url.GetFragment() == "f";
  const auto resolved = url.Resolve("/z");
  if (!url_parts || !resolved || resolved->GetPath() != "/z") return "Url";
  url.Clear();
  korvo::UrlQuery query("a=1&b=%20");
  query.Add("c", "3").Remove("a");
  if (query.Get("b") != " " || query.size() != 2 || query.empty() ||
      query.begin() == query.end() || query.ToString(true).empty()) {
    return "UrlQuery";
  }
  if (korvo::EncodeFull(" ") != "%20" || korvo::EncodePath("?") != "%3F" ||
      korvo::EncodeQuery("?") != "?" || korvo::EncodeNonAscii("\xC3") != "%C3" ||
      korvo::Decode("%41") != "A") {
    return "encoders";
  }

  auto string_part = korvo::FormPart::New("name", "value", "text/plain");
  auto file_part = korvo::FormPart::NewFile("upload", text_file);
  korvo::FormBody form({string_part, file_part}, "boundary", std::size_t{16});
  korvo::FormBody small_chunks({string_part}, "boundary", 8);
  if (form.GetSize() <= 0 || small_chunks.GetSize() <= 0 || form.GetParts().size() != 2 ||
      form.GetBoundary() != "boundary" || !file_part->IsFile() ||
      file_part->GetDataSize() != 9 || file_part->GetName() != "upload" ||
      file_part->GetFileName() != "part.txt" || file_part->GetMediaType() != "text/plain" ||
      file_part->GetPath() != text_file || string_part->GetData() != "value" ||
      string_part->GetHeaders().empty()) {
    return "FormBody and FormPart";
  }
  form.Dump(out, "| ");
  string_part->Dump(out, "| ");

  korvo::StringBody text("abc", true);
  korvo::Body& body = text;
  korvo::FileBody file(text_file, std::size_t{4});
  korvo::FileBody file_int_chunk(text_file, 4);
  korvo::FileBody written(dir / "written.txt", false, 0);
  if (text.GetData() != "abc" || !text.IsCompressed() || body.GetSize() != 3 ||
      file.GetSize() != 9 || file_int_chunk.GetSize() != 9 || written.GetSize() != 0 ||
      file.GetPath() != text_file) {
    return "bodies";
  }
  body.Dump(out, "| ");
  file.Dump(out, "| ");
  const std::filesystem::path moved = dir / "moved.txt";
  {
    korvo::FileBody owned(text_file, true, 9);
    if (!owned.Move(moved) || !owned.GetPath().empty()) return "FileBody::Move";
  }

  korvo::Request request;
  request.SetMethod("POST").SetUrl(korvo::Url("http://127.0.0.1:1/p"));
  request.SetBody(std::make_shared<korvo::StringBody>("body"), true);
  request.SetContentType("text/plain", "utf-8");
  request.SetHeader("X-One", "1");
  request.AddHeader("X-One", "2");
  request.SetContentLength(4);
  request.Prepare();
  bool existed = false;
  if (request.GetMethod() != "POST" || request.GetUrl().GetPath() != "/p" ||
      request.GetStartLine() != "POST /p HTTP/1.1" || request.GetHeader("X-One", &existed) != "1" ||
      !existed || !request.HasHeader("Host") || !request.RemoveHeader("X-One") ||
      request.GetHeaders().empty() || request.GetContentLength() != 4 ||
      request.GetData() != "body" || request.GetBody() == nullptr || request.IsForm() ||
      request.GetFileBody() != nullptr || !request.IsConnectionKeepAlive() ||
      request.GetContentEncoding() != korvo::kUnknown || request.Dump().empty()) {
    return "Request";
  }
  request.Dump(out);
  try {
    request.GetFormParts();
    return "GetFormParts on a string body";
  } catch (const korvo::Error& error) {
    if (error.code() != korvo::kFormError) return "GetFormParts: " + error.message();
  }
  korvo::Request with_form;
  with_form.SetBody(std::make_shared<korvo::FormBody>(korvo::FormParts{string_part}, "b"), false);
  if (!with_form.IsForm() || with_form.GetFormParts().size() != 1) return "form request";

  korvo::Response response;
  response.Prepare();
  if (response.GetStatus() != 200 || !response.GetReason().empty() ||
      !response.GetUrl().ToString().empty() || response.GetRedirectCount() != 0 ||
      response.GetStartLine() != "HTTP/1.1 200 OK") {
    return "Response";
  }

  korvo::Error error(korvo::kReadError, "Socket read error");
  error.SetDetail("why");
  error.SetTimeout(true);
  error.SetCancelled(true);
  korvo::Error copy = error;
  copy.Set(korvo::kWriteError, "Socket write error");
  out << copy;
  if (copy.Describe() != "ERROR(6): Socket write error (timeout) - why") return "Error::Describe";
  if (std::string(error.what()) != "Socket read error" || error.code() != korvo::kReadError ||
      error.message() != "Socket read error" || !error.timeout() || error.detail() != "why" ||
      !error.cancelled()) {
    return "Error";
  }

  auto jar = std::make_shared<korvo::CookieJar>();
  const korvo::Url site("http://127.0.0.1:1/app/login");
  jar->SetCookie(site, "sid=1; Max-Age=60; HttpOnly");
  korvo::Headers set_cookies;
  set_cookies.Add("Set-Cookie", "lang=en");
  jar->SetCookies(site, set_cookies);
  const std::filesystem::path jar_file = dir / "cookies.txt";
  jar->Save(jar_file);
  jar->ClearSessionCookies();
  korvo::CookieJar loaded;
  loaded.Load(jar_file, true);
  const std::vector<korvo::Cookie> cookies = jar->GetCookies();
  if (jar->GetCookieHeader(site) != "sid=1" || cookies.size() != 1 || !cookies[0].http_only ||
      loaded.GetCookieHeader(korvo::Url("http://127.0.0.1:1/app/x")) != "sid=1; lang=en") {
    return "CookieJar";
  }
  jar->Clear();

  korvo::CancelToken token;
  korvo::CancelToken shared = token;
  shared.Cancel();
  if (!token.IsCancelled()) return "CancelToken";

  const int level = korvo::LogGetLevel();
  korvo::LogSetLevel(korvo::kLogErro);
  if (korvo::LogGetLevel() != korvo::kLogErro) return "LogGetLevel";
  // No destination: nothing is written.
  static_cast<void>(korvo::LogEnabled(korvo::kLogErro));
  korvo::LogWrite(korvo::kLogErro, "main.cc", __LINE__, "%s", "dropped without a destination");
  LOG_USER("dropped too: %d", 1);
  korvo::LogSetLevel(level);
  return out.str().empty() ? "Dump wrote nothing" : "";
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
  char dir_template[] = "/tmp/korvo-consumer-XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return Fail("cannot make a temporary directory");
  const std::filesystem::path dir = dir_template;
  struct RemoveDir {
    std::filesystem::path dir;
    ~RemoveDir() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } remove_dir{dir};

  const std::string vocabulary = TouchVocabulary(dir);
  if (!vocabulary.empty()) return Fail("vocabulary: " + vocabulary);

  std::string head;
  std::thread server(Serve, listener, kRequests, &head);

  std::shared_ptr<korvo::Response> response;
  std::string settings;
  std::string more;
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
    const std::string port = std::to_string(ntohs(address.sin_port));
    auto request = korvo::RequestBuilder()
                       .Method("GET")
                       .Url("http://127.0.0.1:" + port + "/hi")
                       .Query("name", "Ivo Tamm")();
    response = session.Send(request);
    settings += " " + std::to_string(session.GetPoolSize());

    // The rest of the session's settings, none of which changes the requests below but
    // the name "localhost", which SetResolve answers without a lookup.
    session.SetConnectTimeout(std::chrono::milliseconds(10000))
        .SetReadTimeout(std::chrono::milliseconds(20000))
        .SetTimeout(std::chrono::milliseconds(30000))
        .Auth("Token", "t0ken")
        .AuthBasic("user", "pass")
        .SetCaFile("")
        .SetCaPath("")
        .SetClientCertificate("")
        .SetVerifyPeer(true)
        .SetResolve("localhost", ntohs(address.sin_port), "127.0.0.1")
        .SetFollowRedirects(2)
        .SetDecompress(true)
        .SetMaxDecodedSize(1 << 20)
        .SetMaxConnectionsPerHost(2)
        .SetMaxConnections(4)
        .AuthBearer("b")
        .SetHeader("X-Default", "1");
    more += std::to_string(session.GetMaxRedirects()) + std::to_string(session.GetDecompress()) +
            std::to_string(session.Cancel()) + std::to_string(session.RemoveHeader("X-Default"));
    const bool limits = session.GetConnectTimeoutMs().count() == 10000 &&
                        session.GetReadTimeoutMs().count() == 20000 &&
                        session.GetTimeout().count() == 30000 &&
                        session.GetMaxDecodedSize() == (1 << 20) &&
                        session.GetMaxConnectionsPerHost() == 2 && session.GetMaxConnections() == 4;
    more += std::to_string(limits);
    session.Stop();
    session.Start();

    // A form with a file, streamed into a temporary file, progress reported.
    const std::filesystem::path upload = dir / "upload.txt";
    std::ofstream(upload) << "upload";
    std::size_t progressed = 0;
    auto form = korvo::RequestBuilder()
                    .Method("POST")
                    .Url("http://localhost:" + port + "/form")
                    .Header("X-Two", "2")
                    .Auth("Token", "t")
                    .AuthBasic("user", "pass")
                    .AuthToken("t")
                    .AuthBearer("t")
                    .Date()
                    .KeepAlive(false)
                    .Form(korvo::FormPart::New("a", "1"))
                    .FormData("b", "2", "text/plain")
                    .FormFile("c", upload)();
    auto streamed = session.Send(form, true, [&progressed](std::size_t current, std::size_t) {
      progressed = current;
    });
    auto file_body = streamed->GetFileBody();
    const bool streamed_whole =
        file_body != nullptr &&
        file_body->GetSize() == static_cast<std::int64_t>(sizeof(kBody) - 1);
    more += " " + std::to_string(streamed_whole) + std::to_string(progressed == sizeof(kBody) - 1);

    // A file body with a sink, a cancel token and progress callbacks.
    korvo::SendOptions options;
    std::string sunk;
    options.sink = [&sunk](const char* data, std::size_t size) {
      sunk.append(data, size);
      return true;
    };
    options.progress = [](std::uint64_t, std::uint64_t) { return true; };
    options.upload_progress = [](std::uint64_t, std::uint64_t total) {
      return total != korvo::kInvalidLength;
    };
    options.timeout = std::chrono::milliseconds(30000);
    options.max_body_size = 1 << 20;
    int done = 0;
    options.on_done = [&done](std::shared_ptr<korvo::Response> answer, const korvo::Error& error) {
      if (answer != nullptr && error.code() == korvo::kNoError) ++done;
    };
    auto file_request = korvo::RequestBuilder()
                            .Method("PUT")
                            .Url("http://127.0.0.1:" + port + "/file")
                            .File(upload, true, 4)
                            .MediaType("text/plain")
                            .Charset("utf-8")();
    session.Send(file_request, options);
    more += " " + sunk + std::to_string(done);

    // Beside the blocking sends: a text body, answered through a future.
    auto text = korvo::RequestBuilder()
                    .Method("POST")
                    .Url("http://127.0.0.1:" + port + "/text")
                    .Body("text")();
    more += " " + session.SendAsync(text).get()->GetData();
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
  const std::string expected_more = std::string("21011 11 ") + kBody + "1 " + kBody;
  if (more != expected_more) return Fail("unexpected results: " + more);
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
