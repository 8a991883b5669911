// Interoperability with servers korvo did not write, all on loopback: nginx (HTTP and
// HTTPS), Debian's httpbin under gunicorn, Python's http.server and `openssl s_server
// -WWW`. Every body is checked byte for byte, against a SHA-256 of what the server
// holds, both read into memory and streamed to a temporary file.
//
// HTTPS goes through the TLS driver a session would use, with a context that trusts the
// test CA: a session trusts the system's roots only, and the test CA is not one of them.
//
// A server program that is not installed fails its tests in CI (CI=true), where
// scripts/install-deps.sh has installed it, and skips them elsewhere.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/ssl/context.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "korvo/internal/client_base.h"
#include "korvo/client_session.h"
#include "korvo/request_builder.h"
#include "korvo/response.h"
#include "korvo/internal/utility.h"
#include "support/exchange_runner.h"
#include "support/httpbin_server.h"
#include "support/real_servers.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

namespace fs = std::filesystem;

// ---- Digests ----

std::string ToHex(const unsigned char* bytes, unsigned int size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return hex;
}

// Feeds bytes to SHA-256 piece by piece, so that a large file never sits in memory.
class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(const char* data, std::size_t size) { EVP_DigestUpdate(context_, data, size); }
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest, &size);
    return ToHex(digest, size);
  }

 private:
  EVP_MD_CTX* context_;
};

std::string Sha256Of(const std::string& data) {
  Sha256 sha;
  sha.Add(data.data(), data.size());
  return sha.Hex();
}

// Digest and size of a file; false when it cannot be read to its end.
bool DigestFile(const fs::path& path, std::string* sha256, std::uint64_t* size) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  Sha256 sha;
  std::vector<char> buffer(1 << 20);
  *size = 0;
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::size_t got = static_cast<std::size_t>(file.gcount());
    sha.Add(buffer.data(), got);
    *size += got;
  }
  *sha256 = sha.Hex();
  return file.eof();
}

// ---- What the servers hold ----

struct ServedFile {
  std::string name;
  std::uint64_t size;
  std::string sha256;
};

// The served files, from a deterministic pattern (xorshift64), in a temporary directory
// that goes with the object: empty, one byte, 100 KiB and, where asked for, 64 MiB.
class ServedFiles {
 public:
  static constexpr std::uint64_t kLargeSize = 64ull << 20;

  explicit ServedFiles(bool with_large) {
    Write("empty.bin", 0);
    Write("one.bin", 1);
    Write("small.bin", 100 * 1024);
    if (with_large) Write("large.bin", kLargeSize);
  }
  ServedFiles(const ServedFiles&) = delete;
  ServedFiles& operator=(const ServedFiles&) = delete;

  const fs::path& dir() const { return dir_.path(); }
  const std::vector<ServedFile>& files() const { return files_; }
  const ServedFile& Get(const std::string& name) const {
    for (const ServedFile& file : files_) {
      if (file.name == name) return file;
    }
    throw std::logic_error("no served file " + name);
  }

 private:
  void Write(const std::string& name, std::uint64_t size) {
    std::ofstream out(dir_.path() / name, std::ios::binary);
    Sha256 sha;
    std::uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
    std::vector<char> block(1 << 20);
    for (std::uint64_t left = size; left > 0;) {
      std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
      for (std::size_t i = 0; i < count; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        block[i] = static_cast<char>(state >> 56);
      }
      out.write(block.data(), static_cast<std::streamsize>(count));
      sha.Add(block.data(), count);
      left -= count;
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + (dir_.path() / name).string());
    files_.push_back({name, size, sha.Hex()});
  }

  test::ScratchDir dir_{"korvo_interop_"};
  std::vector<ServedFile> files_;
};

// ---- Sending ----

std::shared_ptr<Request> MakeRequest(const std::string& url, const std::string& method = "GET",
                                     const std::string& header = {},
                                     const std::string& value = {}) {
  RequestBuilder builder;
  builder.Method(method).Url(url);
  if (!header.empty()) builder.Header(header, value);
  return builder();
}

// Runs exchanges one way or another, so that one table of cases covers both schemes.
class Fetcher {
 public:
  virtual ~Fetcher() = default;
  // The response, or null after a failure that has been reported to the test.
  virtual std::shared_ptr<Response> Send(std::shared_ptr<Request> request, bool stream) = 0;
  // Connections kept open for the next request.
  virtual std::size_t KeptConnections() const = 0;
};

// Plain HTTP through the public API.
class SessionFetcher : public Fetcher {
 public:
  std::shared_ptr<Response> Send(std::shared_ptr<Request> request, bool stream) override {
    try {
      return session_.Send(std::move(request), stream);
    } catch (const Error& error) {
      ADD_FAILURE() << "Send failed: " << error;
      return nullptr;
    }
  }
  std::size_t KeptConnections() const override { return session_.GetPoolSize(); }

 private:
  ClientSession session_;
};

// HTTPS through the session's TLS driver, trusting the test CA only.
class TlsDriverFetcher : public Fetcher {
 public:
  std::shared_ptr<Response> Send(std::shared_ptr<Request> request, bool stream) override {
    try {
      request->Prepare();
    } catch (const Error& error) {
      ADD_FAILURE() << "Prepare failed: " << error;
      return nullptr;
    }
    HopOptions options;
    options.stream = stream;
    Error error =
        test::RunExchange(loop_.context(), client_, std::move(request), std::move(options));
    if (error.code() != kNoError) {
      ADD_FAILURE() << "Send failed: " << error;
      return nullptr;
    }
    return client_->TakeResponse();
  }
  std::size_t KeptConnections() const override { return client_->IsConnected() ? 1 : 0; }

 private:
  // Declared first, destroyed last: the driver, and whatever its queued handlers hold
  // when the loop ends, refers to it.
  std::shared_ptr<TlsContext> context_ = test::MakeTestTlsContext();
  test::LoopThread loop_;
  std::shared_ptr<SslClient> client_ = std::make_shared<SslClient>(loop_.context(), context_);
};

// Whether `response` carries exactly `size` bytes digesting to `sha256`: in memory, or
// in the file a streamed response was written to. An empty streamed body may come as
// an empty file or as none.
::testing::AssertionResult BodyIs(const std::shared_ptr<Response>& response, bool streamed,
                                  std::uint64_t size, const std::string& sha256) {
  if (response == nullptr) return ::testing::AssertionFailure() << "no response";
  std::string got_sha;
  std::uint64_t got_size = 0;
  if (!streamed) {
    got_size = response->GetData().size();
    got_sha = Sha256Of(response->GetData());
  } else {
    if (!response->GetData().empty()) {
      return ::testing::AssertionFailure() << "a streamed body is also in memory";
    }
    auto file = response->GetFileBody();
    if (file == nullptr) {
      if (size == 0) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "a streamed response without a file body";
    }
    if (!DigestFile(file->GetPath(), &got_sha, &got_size)) {
      return ::testing::AssertionFailure() << "cannot read " << file->GetPath();
    }
  }
  if (got_size == size && got_sha == sha256) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (streamed ? "streamed" : "in-memory") << " body of "
                                       << got_size << " bytes, SHA-256 " << got_sha
                                       << "; expected " << size << " bytes, SHA-256 "
                                       << sha256;
}

::testing::AssertionResult BodyIs(const std::shared_ptr<Response>& response, bool streamed,
                                  const ServedFile& file) {
  return BodyIs(response, streamed, file.size, file.sha256);
}

::testing::AssertionResult BodyIs(const std::shared_ptr<Response>& response, bool streamed,
                                  const std::string& bytes) {
  return BodyIs(response, streamed, bytes.size(), Sha256Of(bytes));
}

// What a suite starts once for all of its tests, and why it could not.
struct SuiteState {
  std::unique_ptr<ServedFiles> files;
  std::string missing;      // the server program is not installed
  std::string start_error;  // it is, but did not start
};

// In a test's SetUp: fails (CI) or skips (elsewhere) without the program, fails when
// the server did not start.
void RequireServer(const SuiteState& state, bool running) {
  if (!state.missing.empty()) KORVO_FAIL_IN_CI_ELSE_SKIP(state.missing);
  ASSERT_TRUE(running) << "the server did not start: " << state.start_error;
}

// ---- nginx ----

class NginxInteropTest : public ::testing::Test {
 protected:
  enum class Framing { kLength, kChunked, kClose };
  enum class Scheme { kHttp, kHttps };
  static constexpr Scheme kSchemes[] = {Scheme::kHttp, Scheme::kHttps};

  static void SetUpTestSuite() {
    state_ = new SuiteState();
    server_ = new test::NginxServer();
    if (!test::HasProgram(test::NginxServer::kNginx, "nginx", &state_->missing)) return;
    state_->files = std::make_unique<ServedFiles>(true);
    server_->Start(state_->files->dir(), test::TestPki::Get().good(), &state_->start_error);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete state_;
  }
  void SetUp() override { RequireServer(*state_, server_->IsRunning()); }

  static std::unique_ptr<Fetcher> MakeFetcher(Scheme scheme) {
    if (scheme == Scheme::kHttp) return std::make_unique<SessionFetcher>();
    return std::make_unique<TlsDriverFetcher>();
  }
  static std::string Url(Scheme scheme, const std::string& path) {
    return scheme == Scheme::kHttp ? server_->HttpUrl(path) : server_->HttpsUrl(path);
  }
  static const char* Name(Scheme scheme) { return scheme == Scheme::kHttp ? "http" : "https"; }
  static const ServedFile& File(const std::string& name) { return state_->files->Get(name); }

  // Every file under `prefix`, both ways, over both schemes, framed as `framing` says.
  void FetchEveryFile(const std::string& prefix, Framing framing) {
    for (Scheme scheme : kSchemes) {
      auto fetcher = MakeFetcher(scheme);
      for (const ServedFile& file : state_->files->files()) {
        // sub_filter lets an empty file keep its "Content-Length: 0".
        if (framing != Framing::kLength && file.size == 0) continue;
        // The large file takes every framing over plain HTTP and crosses TLS with a
        // length; more of it would add run time, not cases.
        if (scheme == Scheme::kHttps && framing != Framing::kLength &&
            file.size == ServedFiles::kLargeSize) {
          continue;
        }
        for (bool stream : {false, true}) {
          SCOPED_TRACE(std::string(Name(scheme)) + " " + prefix + file.name +
                       (stream ? " streamed" : " in memory"));
          auto response = fetcher->Send(MakeRequest(Url(scheme, prefix + file.name)), stream);
          if (response == nullptr) continue;
          EXPECT_EQ(response->GetStatus(), 200);
          ExpectFraming(*response, framing, file.size);
          EXPECT_TRUE(BodyIs(response, stream, file));
          EXPECT_EQ(fetcher->KeptConnections(), framing == Framing::kClose ? 0u : 1u);
        }
      }
    }
  }

  // The server framed the body as the case means to test.
  static void ExpectFraming(const Response& response, Framing framing, std::uint64_t size) {
    switch (framing) {
      case Framing::kLength:
        EXPECT_EQ(response.GetHeader("Content-Length"), std::to_string(size));
        EXPECT_FALSE(response.HasHeader("Transfer-Encoding"));
        break;
      case Framing::kChunked:
        EXPECT_EQ(response.GetHeader("Transfer-Encoding"), "chunked");
        EXPECT_FALSE(response.HasHeader("Content-Length"));
        break;
      case Framing::kClose:
        EXPECT_FALSE(response.HasHeader("Transfer-Encoding"));
        EXPECT_FALSE(response.HasHeader("Content-Length"));
        EXPECT_EQ(response.GetHeader("Connection"), "close");
        break;
    }
  }

  static SuiteState* state_;
  static test::NginxServer* server_;
};

SuiteState* NginxInteropTest::state_ = nullptr;
test::NginxServer* NginxInteropTest::server_ = nullptr;

TEST_F(NginxInteropTest, ContentLengthBodiesByteForByte) { FetchEveryFile("/", Framing::kLength); }

TEST_F(NginxInteropTest, ChunkedBodiesByteForByte) {
  FetchEveryFile("/chunked/", Framing::kChunked);
}

TEST_F(NginxInteropTest, CloseDelimitedBodiesByteForByte) {
  FetchEveryFile("/close/", Framing::kClose);
}

TEST_F(NginxInteropTest, HeadHasTheFieldsButNoBody) {
  const ServedFile& small = File("small.bin");
  const ServedFile& one = File("one.bin");
  for (Scheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    auto fetcher = MakeFetcher(scheme);
    auto head = fetcher->Send(MakeRequest(Url(scheme, "/small.bin"), "HEAD"), false);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->GetStatus(), 200);
    EXPECT_EQ(head->GetHeader("Content-Length"), std::to_string(small.size));
    EXPECT_FALSE(head->GetHeader("ETag").empty());
    EXPECT_TRUE(head->HasHeader("Last-Modified"));
    EXPECT_TRUE(BodyIs(head, false, ""));
    // Had the client waited for the announced body, the next response would be taken
    // for it, or the exchange would hang.
    for (bool stream : {false, true}) {
      auto get = fetcher->Send(MakeRequest(Url(scheme, "/one.bin")), stream);
      ASSERT_NE(get, nullptr);
      EXPECT_TRUE(BodyIs(get, stream, one));
      EXPECT_EQ(get->GetHeader("X-Connection"), head->GetHeader("X-Connection"));
    }
  }
}

TEST_F(NginxInteropTest, IfNoneMatchGetsNotModified) {
  const ServedFile& small = File("small.bin");
  for (Scheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    auto fetcher = MakeFetcher(scheme);
    auto first = fetcher->Send(MakeRequest(Url(scheme, "/small.bin")), false);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(BodyIs(first, false, small));
    const std::string etag = first->GetHeader("ETag");
    ASSERT_FALSE(etag.empty());
    for (bool stream : {false, true}) {
      auto again = fetcher->Send(
          MakeRequest(Url(scheme, "/small.bin"), "GET", "If-None-Match", etag), stream);
      ASSERT_NE(again, nullptr);
      EXPECT_EQ(again->GetStatus(), 304);
      EXPECT_EQ(again->GetHeader("ETag"), etag);
      EXPECT_TRUE(BodyIs(again, stream, ""));
      EXPECT_EQ(again->GetHeader("X-Connection"), first->GetHeader("X-Connection"));
    }
    // A 304 has no body whatever its fields say; the connection goes on.
    auto after = fetcher->Send(MakeRequest(Url(scheme, "/small.bin")), true);
    ASSERT_NE(after, nullptr);
    EXPECT_TRUE(BodyIs(after, true, small));
    EXPECT_EQ(after->GetHeader("X-Connection"), first->GetHeader("X-Connection"));
  }
}

TEST_F(NginxInteropTest, HundredRequestsShareOneConnection) {
  const ServedFile* files[] = {&File("one.bin"), &File("small.bin"), &File("empty.bin")};
  for (Scheme scheme : kSchemes) {
    SCOPED_TRACE(Name(scheme));
    auto fetcher = MakeFetcher(scheme);
    std::string connection;
    for (int i = 0; i < 100; ++i) {
      const ServedFile& file = *files[i % 3];
      bool stream = i % 2 == 1;
      auto response = fetcher->Send(MakeRequest(Url(scheme, "/" + file.name)), stream);
      ASSERT_NE(response, nullptr) << "request " << i;
      ASSERT_TRUE(BodyIs(response, stream, file)) << "request " << i;
      if (i == 0) connection = response->GetHeader("X-Connection");
      ASSERT_EQ(response->GetHeader("X-Connection"), connection) << "request " << i;
      ASSERT_EQ(response->GetHeader("X-Connection-Requests"), std::to_string(i + 1));
      ASSERT_EQ(fetcher->KeptConnections(), 1u) << "request " << i;
    }
  }
}

// ---- httpbin under gunicorn ----

class HttpbinInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    state_ = new SuiteState();
    server_ = new test::HttpbinServer();
    if (!test::HasProgram(test::HttpbinServer::kGunicorn, "gunicorn python3-httpbin",
                          &state_->missing)) {
      return;
    }
    server_->Start(2, 60, &state_->start_error);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete state_;
  }
  void SetUp() override { RequireServer(*state_, server_->IsRunning()); }

  std::shared_ptr<Response> Get(const std::string& path, bool stream) {
    return fetcher_.Send(MakeRequest(server_->Url(path)), stream);
  }

  static SuiteState* state_;
  static test::HttpbinServer* server_;
  SessionFetcher fetcher_;
};

SuiteState* HttpbinInteropTest::state_ = nullptr;
test::HttpbinServer* HttpbinInteropTest::server_ = nullptr;

// What httpbin sends for /bytes/N and /stream-bytes/N with a seed: Python's random
// numbers after random.seed(seed), here from a Python of the test's own.
std::string SeededBytes(int seed, int count) {
  std::string command =
      "/usr/bin/python3 -I -c 'import random, sys; random.seed(" + std::to_string(seed) +
      "); sys.stdout.buffer.write(bytearray(random.randint(0, 255) for i in range(" +
      std::to_string(count) + ")))'";
  std::string bytes;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) bytes.append(buffer, n);
    ::pclose(pipe);
  }
  return bytes;
}

TEST_F(HttpbinInteropTest, SeededBytesMatchAReference) {
  constexpr int kSeed = 7;
  constexpr int kCount = 100 * 1024;  // httpbin's largest
  const std::string expected = SeededBytes(kSeed, kCount);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(kCount)) << "python3 gave no reference";
  const std::string count = std::to_string(kCount);
  const std::string seed = std::to_string(kSeed);
  // The same bytes with a length, and chunked in pieces that do not divide the body.
  for (const std::string& path : {"/bytes/" + count + "?seed=" + seed,
                                  "/stream-bytes/" + count + "?seed=" + seed + "&chunk_size=4093"}) {
    for (bool stream : {false, true}) {
      SCOPED_TRACE(path + (stream ? " streamed" : " in memory"));
      auto response = Get(path, stream);
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->GetStatus(), 200);
      if (path.rfind("/stream-bytes/", 0) == 0) {
        EXPECT_EQ(response->GetHeader("Transfer-Encoding"), "chunked");
      } else {
        EXPECT_EQ(response->GetHeader("Content-Length"), count);
      }
      EXPECT_TRUE(BodyIs(response, stream, expected));
    }
  }
}

TEST_F(HttpbinInteropTest, TricklingBodyArrivesWhole) {
  // One byte at a time, with a pause after each.
  for (bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "streamed" : "in memory");
    auto response = Get("/drip?numbytes=5&duration=0.25&delay=0", stream);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_TRUE(BodyIs(response, stream, "*****"));
  }
}

TEST_F(HttpbinInteropTest, RepeatedResponseFieldKeepsEveryValue) {
  auto response = Get("/response-headers?a=1&a=2&b=3", false);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatus(), 200);
  std::vector<std::string> a;
  std::vector<std::string> b;
  for (const auto& [name, value] : response->GetHeaders()) {
    if (AsciiIEquals(name, "a")) a.push_back(value);
    if (AsciiIEquals(name, "b")) b.push_back(value);
  }
  EXPECT_EQ(a, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(b, std::vector<std::string>{"3"});

  // httpbin lists in the body what it sent, so the server is known to have sent both.
  boost::property_tree::ptree echo;
  std::istringstream json(response->GetData());
  ASSERT_NO_THROW(boost::property_tree::read_json(json, echo)) << response->GetData();
  std::vector<std::string> listed;
  if (auto values = echo.get_child_optional("a")) {
    for (const auto& item : *values) listed.push_back(item.second.data());
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"1", "2"}));
}

TEST_F(HttpbinInteropTest, StatusesWithoutBodies) {
  for (int status : {200, 204, 304, 404, 500}) {
    for (bool stream : {false, true}) {
      SCOPED_TRACE(std::to_string(status) + (stream ? " streamed" : " in memory"));
      auto response = Get("/status/" + std::to_string(status), stream);
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->GetStatus(), status);
      EXPECT_TRUE(BodyIs(response, stream, ""));
    }
  }
}

// ---- Python's http.server ----

class PythonHttpServerInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    state_ = new SuiteState();
    server_ = new test::PythonHttpServer();
    if (!test::HasProgram(test::PythonHttpServer::kPython, "python3", &state_->missing)) return;
    state_->files = std::make_unique<ServedFiles>(true);
    server_->Start(state_->files->dir(), &state_->start_error);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete state_;
  }
  void SetUp() override { RequireServer(*state_, server_->IsRunning()); }

  static SuiteState* state_;
  static test::PythonHttpServer* server_;
};

SuiteState* PythonHttpServerInteropTest::state_ = nullptr;
test::PythonHttpServer* PythonHttpServerInteropTest::server_ = nullptr;

TEST_F(PythonHttpServerInteropTest, FilesByteForByte) {
  SessionFetcher fetcher;
  for (const ServedFile& file : state_->files->files()) {
    for (bool stream : {false, true}) {
      SCOPED_TRACE(file.name + (stream ? " streamed" : " in memory"));
      auto response = fetcher.Send(MakeRequest(server_->Url("/" + file.name)), stream);
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->GetStatus(), 200);
      EXPECT_TRUE(BodyIs(response, stream, file));
      // An HTTP/1.0 answer without "Connection: keep-alive" ends its connection.
      EXPECT_EQ(fetcher.KeptConnections(), 0u);
    }
  }
}

// ---- openssl s_server -WWW ----

class OpensslWwwInteropTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    state_ = new SuiteState();
    server_ = new test::OpensslWwwServer();
    if (!test::HasProgram(test::OpensslWwwServer::kOpenssl, "openssl", &state_->missing)) return;
    state_->files = std::make_unique<ServedFiles>(false);
    server_->Start(state_->files->dir(), test::TestPki::Get().good(), &state_->start_error);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete state_;
  }
  void SetUp() override { RequireServer(*state_, server_->IsRunning()); }

  static SuiteState* state_;
  static test::OpensslWwwServer* server_;
};

SuiteState* OpensslWwwInteropTest::state_ = nullptr;
test::OpensslWwwServer* OpensslWwwInteropTest::server_ = nullptr;

TEST_F(OpensslWwwInteropTest, CloseDelimitedFilesOverTlsByteForByte) {
  TlsDriverFetcher fetcher;
  for (const char* name : {"one.bin", "small.bin"}) {
    const ServedFile& file = state_->files->Get(name);
    for (bool stream : {false, true}) {
      SCOPED_TRACE(file.name + (stream ? " streamed" : " in memory"));
      auto response = fetcher.Send(MakeRequest(server_->Url("/" + file.name)), stream);
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->GetStatus(), 200);
      // Neither a length nor chunks: the body ends where the server closes.
      EXPECT_FALSE(response->HasHeader("Content-Length"));
      EXPECT_FALSE(response->HasHeader("Transfer-Encoding"));
      EXPECT_TRUE(BodyIs(response, stream, file));
      EXPECT_EQ(fetcher.KeptConnections(), 0u);
    }
  }
}

}  // namespace
}  // namespace korvo
