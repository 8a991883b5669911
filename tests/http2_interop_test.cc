// The HTTP/2 interoperability suite: korvo's HTTP/2 against servers it did not write,
// all on loopback: nginx (h2 over TLS, with an HTTP/1.1-only port beside it), nghttpd
// over TLS and in cleartext (h2c with prior knowledge), and hypercorn running the
// suite's own ASGI application (tests/support/h2_app.py) over both.
//
// Every exchange checks the whole body byte for byte, wherever it went (memory, a
// streamed file, a sink), and that it came over HTTP/2 as korvo says (GetVersion) and,
// where the server tells, as the server says ("X-Protocol"). Redirects between the h2
// and the HTTP/1.1 ports collect each hop's protocol in the query, so the final body
// tells the way the request went.
//
// The session trusts the test CA through SetCaFile. A server program that is not
// installed fails the tests that need it in CI (CI=true) and skips them elsewhere.
//
// Thread rules: every test runs on the gtest thread (a session adds its loop thread).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <zlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/korvo.h"
#include "support/h2_servers.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// Bytes from a fixed pattern (xorshift64): every value of a byte, no line structure.
std::string PatternBytes(std::size_t size, std::uint64_t seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state >> 56);
  }
  return bytes;
}

// Text that compresses well, for the gzip file.
std::string PageText() {
  std::string text;
  for (int line = 0; text.size() < 200 * 1024; ++line) {
    text += "line " + std::to_string(line) + ": korvo reads this page through gzip\n";
  }
  return text;
}

// `text` in the gzip format, as `gzip -9` would store it.
std::string Gzip(const std::string& text) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  std::string out(deflateBound(&stream, text.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return done ? out : std::string();
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Says where two bodies part, instead of printing 100 KiB of each.
::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "a body of " << got.size() << " bytes, expected "
                                       << expected.size() << "; they differ from byte " << at;
}

// The 64 MiB of h2_app.py's /big, compared block by block: never made whole here.
::testing::AssertionResult IsBigBody(std::string_view got) {
  if (got.size() != test::kBigBodySize) {
    return ::testing::AssertionFailure() << "a body of " << got.size() << " bytes, expected "
                                         << test::kBigBodySize;
  }
  for (std::size_t i = 0; i < test::kBigBlocks; ++i) {
    const std::string block = test::BigBlock(i);
    if (got.substr(i * test::kBigBlockSize, block.size()) != block) {
      return ::testing::AssertionFailure() << "block " << i << " of " << test::kBigBlocks
                                           << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

struct FormPart {
  std::string head;  // the part's header fields
  std::string data;
};

// The parts of a multipart body delimited by `boundary`, or nothing when it is not one.
std::optional<std::vector<FormPart>> SplitMultipart(const std::string& body,
                                                    const std::string& boundary) {
  const std::string first = "--" + boundary + "\r\n";
  const std::string delimiter = "\r\n--" + boundary;
  if (body.compare(0, first.size(), first) != 0) return std::nullopt;
  std::vector<FormPart> parts;
  for (std::size_t at = first.size();;) {
    const std::size_t head_end = body.find("\r\n\r\n", at);
    if (head_end == std::string::npos) return std::nullopt;
    const std::size_t end = body.find(delimiter, head_end + 4);
    if (end == std::string::npos) return std::nullopt;
    parts.push_back({body.substr(at, head_end - at),
                     body.substr(head_end + 4, end - head_end - 4)});
    at = end + delimiter.size();
    const std::string_view rest = std::string_view(body).substr(at);
    if (rest == "--" || rest == "--\r\n") return parts;
    if (rest.substr(0, 2) != "\r\n") return std::nullopt;
    at += 2;
  }
}

enum class Server { kNginx, kNghttpdTls, kNghttpdH2c, kHypercorn };
constexpr int kServerCount = 4;

// The files of the suite, and its servers, each started the first time a test needs it:
// ctest runs every test in a process of its own, which then starts only its servers.
class Suite {
 public:
  Suite() : dir_(test::MakeUniqueTempDir("korvo_h2_interop_")) {
    fs::create_directories(dir_ / "www");
    served_ = PatternBytes(100 * 1024, 1);
    uploaded_ = PatternBytes(300 * 1024 + 7, 2);
    page_ = PageText();
    page_gzip_ = Gzip(page_);
    if (page_gzip_.empty() ||
        !test::WritePrivateFile(dir_ / "www" / "small.bin", served_) ||
        !test::WritePrivateFile(dir_ / "www" / "page.txt", page_) ||
        !test::WritePrivateFile(dir_ / "www" / "page.txt.gz", page_gzip_) ||
        !test::WritePrivateFile(upload_file(), uploaded_) ||
        !test::WritePrivateFile(ca_file(), test::TestPki::Get().ca_pem())) {
      files_error_ = "cannot write to " + dir_.string();
    }
  }
  ~Suite() {
    // The servers first: they use the files.
    nginx.Stop();
    nghttpd_tls.Stop();
    nghttpd_h2c.Stop();
    hypercorn.Stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Suite(const Suite&) = delete;
  Suite& operator=(const Suite&) = delete;

  // In a test: starts `server` unless that was tried already, then fails (CI) or skips
  // (elsewhere) when its program is not installed, and fails when it did not start.
  void Require(Server server) {
    const auto index = static_cast<std::size_t>(server);
    starts_.Ensure(index, [&](std::string* error) { return Start(server, error); });
    starts_.Require(index, IsRunning(server));
  }

  const std::string& served() const { return served_; }
  const std::string& uploaded() const { return uploaded_; }
  const std::string& page() const { return page_; }
  const std::string& page_gzip() const { return page_gzip_; }
  fs::path upload_file() const { return dir_ / "upload.bin"; }
  fs::path ca_file() const { return dir_ / "ca.pem"; }

  test::H2Nginx nginx;
  test::NghttpdServer nghttpd_tls;
  test::NghttpdServer nghttpd_h2c;
  test::HypercornServer hypercorn;

 private:
  bool Start(Server server, std::string* error) {
    if (!files_error_.empty()) {
      *error = files_error_;
      return false;
    }
    const test::TestCertificate& certificate = test::TestPki::Get().good();
    const fs::path www = dir_ / "www";
    switch (server) {
      case Server::kNginx: return nginx.Start(www, certificate, error);
      case Server::kNghttpdTls: return nghttpd_tls.Start(www, &certificate, error);
      case Server::kNghttpdH2c: return nghttpd_h2c.Start(www, nullptr, error);
      case Server::kHypercorn:
        return hypercorn.Start(fs::path(KORVO_SOURCE_DIR) / "tests/support/h2_app.py",
                               certificate, error);
    }
    return false;
  }

  bool IsRunning(Server server) const {
    switch (server) {
      case Server::kNginx: return nginx.IsRunning();
      case Server::kNghttpdTls: return nghttpd_tls.IsRunning();
      case Server::kNghttpdH2c: return nghttpd_h2c.IsRunning();
      case Server::kHypercorn: return hypercorn.IsRunning();
    }
    return false;
  }

  fs::path dir_;
  std::string files_error_;
  std::string served_;
  std::string uploaded_;
  std::string page_;
  std::string page_gzip_;
  test::ServerStarts starts_{kServerCount};
};

class Http2InteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { suite_ = new Suite(); }
  static void TearDownTestSuite() {
    delete suite_;
    suite_ = nullptr;
  }

  static void Require(std::initializer_list<Server> servers) {
    for (Server server : servers) {
      suite_->Require(server);
      if (HasFatalFailure() || IsSkipped()) return;
    }
  }

  // A session speaking `version`, trusting the test CA and nothing else.
  static std::unique_ptr<ClientSession> MakeSession(HttpVersion version) {
    auto session = std::make_unique<ClientSession>();
    session->SetCaFile(suite_->ca_file().string());
    session->SetHttpVersion(version);
    return session;
  }

  // The response, or null after a failure that has been reported to the test.
  static std::shared_ptr<Response> Send(ClientSession& session, std::shared_ptr<Request> request,
                                        const SendOptions& options = {}) {
    try {
      return session.Send(std::move(request), options);
    } catch (const Error& error) {
      ADD_FAILURE() << "Send failed: " << error << " - " << error.detail();
      return nullptr;
    }
  }

  static Suite* suite_;
};

Suite* Http2InteropTest::suite_ = nullptr;

#define KORVO_REQUIRE_SERVERS(...)                \
  do {                                            \
    Require({__VA_ARGS__});                       \
    if (HasFatalFailure() || IsSkipped()) return; \
  } while (0)

// ---- One exchange each: methods, bodies, where the body goes ----

enum class Target { kNginx, kNghttpdTls, kNghttpdH2c, kHypercornTls, kHypercornH2c };
enum class Method { kGet, kHead, kPostFile, kPostForm };
enum class Into { kMemory, kFile, kSink };
enum class Expect { kServed, kNothing, kUploaded, kForm, kPage, kPageGzip, kBig, kLargeHeaders };

struct ExchangeCase {
  const char* name;
  Target target;
  Method method;
  const char* path;
  Into into = Into::kMemory;
  Expect expect = Expect::kServed;
  bool decompress = false;
};

std::ostream& operator<<(std::ostream& os, const ExchangeCase& c) { return os << c.name; }

class Http2ExchangeTest : public Http2InteropTest,
                          public ::testing::WithParamInterface<ExchangeCase> {
 protected:
  static Server ServerOf(Target target) {
    switch (target) {
      case Target::kNginx: return Server::kNginx;
      case Target::kNghttpdTls: return Server::kNghttpdTls;
      case Target::kNghttpdH2c: return Server::kNghttpdH2c;
      case Target::kHypercornTls:
      case Target::kHypercornH2c: return Server::kHypercorn;
    }
    return Server::kNginx;
  }

  static std::string UrlOf(Target target, const std::string& path) {
    switch (target) {
      case Target::kNginx: return suite_->nginx.H2Url(path);
      case Target::kNghttpdTls: return suite_->nghttpd_tls.Url(path);
      case Target::kNghttpdH2c: return suite_->nghttpd_h2c.Url(path);
      case Target::kHypercornTls: return suite_->hypercorn.HttpsUrl(path);
      case Target::kHypercornH2c: return suite_->hypercorn.HttpUrl(path);
    }
    return {};
  }

  static bool IsCleartext(Target target) {
    return target == Target::kNghttpdH2c || target == Target::kHypercornH2c;
  }

  // What the server says it received the request over, or null for nghttpd, which says
  // nothing.
  static const char* ProtocolField(Target target) {
    switch (target) {
      case Target::kNginx: return "HTTP/2.0";
      case Target::kHypercornTls:
      case Target::kHypercornH2c: return "2";
      default: return nullptr;
    }
  }

  static std::shared_ptr<Request> MakeRequest(Method method, const std::string& url) {
    RequestBuilder builder;
    builder.Url(url);
    switch (method) {
      case Method::kGet:
        break;
      case Method::kHead:
        builder.Method("HEAD");
        break;
      case Method::kPostFile:
        builder.Method("POST").File(suite_->upload_file(), false).MediaType(
            "application/octet-stream");
        break;
      case Method::kPostForm:
        builder.Method("POST")
            .FormData("note", "a short text field")
            .FormFile("upload", suite_->upload_file(), "application/octet-stream");
        break;
    }
    return builder();
  }
};

TEST_P(Http2ExchangeTest, BodyArrivesWholeOverHttp2) {
  const ExchangeCase& c = GetParam();
  KORVO_REQUIRE_SERVERS(ServerOf(c.target));
  auto session = MakeSession(IsCleartext(c.target) ? HttpVersion::kHttp2PriorKnowledge
                                                   : HttpVersion::kHttp2);
  session->SetDecompress(c.decompress);

  std::string sunk;
  SendOptions options;
  if (c.into == Into::kFile) options.stream = true;
  if (c.into == Into::kSink) {
    options.sink = [&sunk](const char* data, std::size_t size) {
      sunk.append(data, size);
      return true;
    };
  }
  auto request = MakeRequest(c.method, UrlOf(c.target, c.path));
  auto response = Send(*session, request, options);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatus(), 200);
  EXPECT_EQ(response->GetVersion(), "HTTP/2");
  if (const char* protocol = ProtocolField(c.target)) {
    EXPECT_EQ(response->GetHeader("X-Protocol"), protocol);
  }

  std::string body;
  switch (c.into) {
    case Into::kMemory:
      body = response->GetData();
      break;
    case Into::kFile: {
      auto file = response->GetFileBody();
      ASSERT_NE(file, nullptr) << "the body was to be streamed to a file";
      body = ReadWholeFile(file->GetPath());
      break;
    }
    case Into::kSink:
      EXPECT_EQ(response->GetData(), "");
      body = std::move(sunk);
      break;
  }

  switch (c.expect) {
    case Expect::kServed:
      EXPECT_TRUE(SameBytes(body, suite_->served()));
      break;
    case Expect::kNothing:
      EXPECT_EQ(body, "");
      EXPECT_EQ(response->GetHeader("Content-Length"), std::to_string(suite_->served().size()));
      break;
    case Expect::kUploaded:
      EXPECT_TRUE(SameBytes(body, suite_->uploaded()));
      break;
    case Expect::kForm: {
      const std::string type = request->GetHeader("Content-Type");
      const std::size_t at = type.find("boundary=");
      ASSERT_NE(at, std::string::npos) << type;
      auto parts = SplitMultipart(body, type.substr(at + 9));
      ASSERT_TRUE(parts) << "not the multipart body sent: " << body.substr(0, 200);
      ASSERT_EQ(parts->size(), 2u);
      EXPECT_THAT((*parts)[0].head, HasSubstr("name=\"note\""));
      EXPECT_EQ((*parts)[0].data, "a short text field");
      EXPECT_THAT((*parts)[1].head, HasSubstr("filename=\"upload.bin\""));
      EXPECT_TRUE(SameBytes((*parts)[1].data, suite_->uploaded()));
      break;
    }
    case Expect::kPage:
      EXPECT_EQ(response->GetHeader("Content-Encoding"), "gzip");
      EXPECT_TRUE(SameBytes(body, suite_->page()));
      break;
    case Expect::kPageGzip:
      EXPECT_EQ(response->GetHeader("Content-Encoding"), "gzip");
      EXPECT_TRUE(SameBytes(body, suite_->page_gzip()));
      break;
    case Expect::kBig:
      EXPECT_TRUE(IsBigBody(body));
      break;
    case Expect::kLargeHeaders:
      EXPECT_EQ(body, "large headers");
      for (int i = 0; i < test::kLargeFields; ++i) {
        EXPECT_EQ(response->GetHeader(test::LargeFieldName(i)), test::LargeFieldValue(i))
            << test::LargeFieldName(i);
      }
      break;
  }

  // nghttpd ends every body with a trailer field: the body must be whole all the same.
  if ((c.target == Target::kNghttpdTls || c.target == Target::kNghttpdH2c) &&
      c.method != Method::kHead) {
    EXPECT_EQ(response->GetHeader("Trailer"), test::NghttpdServer::kTrailerField);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, Http2ExchangeTest,
    ::testing::Values(
        ExchangeCase{"nginx_get", Target::kNginx, Method::kGet, "/small.bin"},
        ExchangeCase{"nginx_get_to_sink", Target::kNginx, Method::kGet, "/small.bin",
                     Into::kSink},
        ExchangeCase{"nginx_head", Target::kNginx, Method::kHead, "/small.bin", Into::kMemory,
                     Expect::kNothing},
        ExchangeCase{"nginx_post_file", Target::kNginx, Method::kPostFile, "/echo",
                     Into::kMemory, Expect::kUploaded},
        ExchangeCase{"nginx_post_form", Target::kNginx, Method::kPostForm, "/echo",
                     Into::kMemory, Expect::kForm},
        ExchangeCase{"nginx_gzip_decoded", Target::kNginx, Method::kGet, "/gzip/page.txt",
                     Into::kMemory, Expect::kPage, true},
        ExchangeCase{"nginx_gzip_decoded_to_file", Target::kNginx, Method::kGet,
                     "/gzip/page.txt", Into::kFile, Expect::kPage, true},
        ExchangeCase{"nginx_gzip_as_sent", Target::kNginx, Method::kGet, "/gzip/page.txt",
                     Into::kMemory, Expect::kPageGzip},
        ExchangeCase{"nghttpd_get", Target::kNghttpdTls, Method::kGet, "/small.bin"},
        ExchangeCase{"nghttpd_head", Target::kNghttpdTls, Method::kHead, "/small.bin",
                     Into::kMemory, Expect::kNothing},
        ExchangeCase{"nghttpd_post_file", Target::kNghttpdTls, Method::kPostFile, "/echo",
                     Into::kMemory, Expect::kUploaded},
        ExchangeCase{"nghttpd_post_form", Target::kNghttpdTls, Method::kPostForm, "/echo",
                     Into::kMemory, Expect::kForm},
        ExchangeCase{"nghttpd_h2c_get", Target::kNghttpdH2c, Method::kGet, "/small.bin"},
        ExchangeCase{"nghttpd_h2c_get_to_file", Target::kNghttpdH2c, Method::kGet,
                     "/small.bin", Into::kFile},
        ExchangeCase{"nghttpd_h2c_head", Target::kNghttpdH2c, Method::kHead, "/small.bin",
                     Into::kMemory, Expect::kNothing},
        ExchangeCase{"nghttpd_h2c_post_file", Target::kNghttpdH2c, Method::kPostFile,
                     "/echo", Into::kMemory, Expect::kUploaded},
        ExchangeCase{"nghttpd_h2c_post_form", Target::kNghttpdH2c, Method::kPostForm,
                     "/echo", Into::kMemory, Expect::kForm},
        ExchangeCase{"hypercorn_post_file", Target::kHypercornTls, Method::kPostFile, "/echo",
                     Into::kMemory, Expect::kUploaded},
        ExchangeCase{"hypercorn_post_form", Target::kHypercornTls, Method::kPostForm, "/echo",
                     Into::kMemory, Expect::kForm},
        ExchangeCase{"hypercorn_big_in_memory", Target::kHypercornTls, Method::kGet, "/big",
                     Into::kMemory, Expect::kBig},
        ExchangeCase{"hypercorn_big_to_file", Target::kHypercornTls, Method::kGet, "/big",
                     Into::kFile, Expect::kBig},
        ExchangeCase{"hypercorn_big_to_sink", Target::kHypercornTls, Method::kGet, "/big",
                     Into::kSink, Expect::kBig},
        ExchangeCase{"hypercorn_large_headers", Target::kHypercornTls, Method::kGet,
                     "/large-headers", Into::kMemory, Expect::kLargeHeaders},
        ExchangeCase{"hypercorn_h2c_post_form", Target::kHypercornH2c, Method::kPostForm,
                     "/echo", Into::kMemory, Expect::kForm},
        ExchangeCase{"hypercorn_h2c_big_to_sink", Target::kHypercornH2c, Method::kGet, "/big",
                     Into::kSink, Expect::kBig},
        ExchangeCase{"hypercorn_h2c_large_headers", Target::kHypercornH2c, Method::kGet,
                     "/large-headers", Into::kMemory, Expect::kLargeHeaders}),
    [](const ::testing::TestParamInfo<ExchangeCase>& info) {
      return std::string(info.param.name);
    });

// ---- The version a session asks for ----

TEST_F(Http2InteropTest, EachConnectionSpeaksWhatTheSessionAndServerAgreeOn) {
  KORVO_REQUIRE_SERVERS(Server::kNginx, Server::kHypercorn);
  // hypercorn's redirect, not followed: a small answer that says the protocol.
  const std::string hypercorn_path = "/redirect?to=/";
  struct Case {
    const char* name;
    std::string url;
    HttpVersion version;
    int status;
    const char* korvo_says;
    const char* server_says;
  } cases[] = {
      {"nginx, HTTP/1.1 asked for", suite_->nginx.H2Url("/small.bin"), HttpVersion::kHttp1,
       200, "HTTP/1.1", "HTTP/1.1"},
      {"nginx, h2 offered", suite_->nginx.H2Url("/small.bin"), HttpVersion::kHttp2, 200,
       "HTTP/2", "HTTP/2.0"},
      // A server that does not take "h2" gets HTTP/1.1 from an HTTP/2 session.
      {"nginx's HTTP/1.1 port, h2 offered", suite_->nginx.Http1Url("/small.bin"),
       HttpVersion::kHttp2, 200, "HTTP/1.1", "HTTP/1.1"},
      {"hypercorn, HTTP/1.1 asked for", suite_->hypercorn.HttpsUrl(hypercorn_path),
       HttpVersion::kHttp1, 302, "HTTP/1.1", "1.1"},
      {"hypercorn, h2 offered", suite_->hypercorn.HttpsUrl(hypercorn_path),
       HttpVersion::kHttp2, 302, "HTTP/2", "2"},
      // Without prior knowledge cleartext stays HTTP/1.1.
      {"hypercorn cleartext, HTTP/2 asked for", suite_->hypercorn.HttpUrl(hypercorn_path),
       HttpVersion::kHttp2, 302, "HTTP/1.1", "1.1"},
      {"hypercorn cleartext, prior knowledge", suite_->hypercorn.HttpUrl(hypercorn_path),
       HttpVersion::kHttp2PriorKnowledge, 302, "HTTP/2", "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = MakeSession(c.version);
    auto response = Send(*session, RequestBuilder().Url(c.url)());
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetStatus(), c.status);
    EXPECT_EQ(response->GetVersion(), c.korvo_says);
    EXPECT_EQ(response->GetHeader("X-Protocol"), c.server_says);
    if (c.status == 200) {
      EXPECT_TRUE(SameBytes(response->GetData(), suite_->served()));
    }
  }
}

// ---- Redirects between HTTP/2 and HTTP/1.1 ----

TEST_F(Http2InteropTest, RedirectsBetweenHttp2AndHttp1KeepEachHopsVersion) {
  KORVO_REQUIRE_SERVERS(Server::kNginx, Server::kHypercorn);
  auto via_hypercorn = [](const std::string& to) {
    return RequestBuilder().Url(suite_->hypercorn.HttpsUrl("/redirect")).Query("to", to)();
  };
  struct Case {
    const char* name;
    std::shared_ptr<Request> request;
    const char* trail;  // each hop's protocol, as its server saw it
    const char* version;
    int redirects;
    std::string final_url;
  } cases[] = {
      {"h2 to HTTP/1.1", RequestBuilder().Url(suite_->nginx.H2Url("/to/h1/trail"))(),
       "+HTTP/2.0+HTTP/1.1", "HTTP/1.1", 1,
       suite_->nginx.Http1Url("/trail?+HTTP/2.0")},
      {"HTTP/1.1 to h2", RequestBuilder().Url(suite_->nginx.Http1Url("/to/h2/trail"))(),
       "+HTTP/1.1+HTTP/2.0", "HTTP/2", 1, suite_->nginx.H2Url("/trail?+HTTP/1.1")},
      {"h2 to HTTP/1.1 and back",
       RequestBuilder().Url(suite_->nginx.H2Url("/to/h1/to/h2/trail"))(),
       "+HTTP/2.0+HTTP/1.1+HTTP/2.0", "HTTP/2", 2,
       suite_->nginx.H2Url("/trail?+HTTP/2.0+HTTP/1.1")},
      {"hypercorn to nginx's HTTP/1.1", via_hypercorn(suite_->nginx.Http1Url("/trail")),
       "+hypercorn/2+HTTP/1.1", "HTTP/1.1", 1, suite_->nginx.Http1Url("/trail?+hypercorn/2")},
      {"hypercorn to nginx's HTTP/1.1 and on to its h2",
       via_hypercorn(suite_->nginx.Http1Url("/to/h2/trail")), "+hypercorn/2+HTTP/1.1+HTTP/2.0",
       "HTTP/2", 2, suite_->nginx.H2Url("/trail?+hypercorn/2+HTTP/1.1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = MakeSession(HttpVersion::kHttp2);
    session->SetFollowRedirects(5);
    auto response = Send(*session, c.request);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetData(), c.trail);
    EXPECT_EQ(response->GetVersion(), c.version);
    EXPECT_EQ(response->GetRedirectCount(), c.redirects);
    EXPECT_EQ(response->GetUrl().ToString(), c.final_url);
  }
}

// ---- Many streams at once ----

TEST_F(Http2InteropTest, ManyExchangesAtOnceEachGetTheirOwnBody) {
  KORVO_REQUIRE_SERVERS(Server::kNginx);
  constexpr int kExchanges = 200;
  auto session = MakeSession(HttpVersion::kHttp2);
  // Downloads and uploads interleaved, every upload a body of its own, so that an
  // answer given to the wrong stream shows.
  std::vector<std::string> posted(kExchanges);
  std::vector<std::future<std::shared_ptr<Response>>> pending;
  for (int i = 0; i < kExchanges; ++i) {
    if (i % 2 == 0) {
      pending.push_back(
          session->SendAsync(RequestBuilder().Url(suite_->nginx.H2Url("/small.bin"))()));
    } else {
      posted[i] = PatternBytes(1000 + 137 * static_cast<std::size_t>(i), 100 + i);
      pending.push_back(session->SendAsync(RequestBuilder()
                                               .Method("POST")
                                               .Url(suite_->nginx.H2Url("/echo"))
                                               .Body(posted[i])
                                               .MediaType("application/octet-stream")()));
    }
  }
  for (int i = 0; i < kExchanges; ++i) {
    SCOPED_TRACE("exchange " + std::to_string(i));
    std::shared_ptr<Response> response;
    try {
      response = pending[i].get();
    } catch (const Error& error) {
      ADD_FAILURE() << "SendAsync failed: " << error << " - " << error.detail();
      continue;
    }
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetVersion(), "HTTP/2");
    EXPECT_TRUE(SameBytes(response->GetData(), i % 2 == 0 ? suite_->served() : posted[i]));
  }
}

}  // namespace
}  // namespace korvo
