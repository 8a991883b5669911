#include "korvo/client_session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <cstdint>
#include <map>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

#include "korvo/internal/client_base.h"
#include "korvo/internal/connection_pool.h"
#include "korvo/internal/tls_context.h"
#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/internal/utility.h"

namespace korvo {

namespace {

// What SetDecompress asks servers for: every coding the decoders know.
constexpr const char* kDecodedCodings = "gzip, deflate, br, zstd";
// A decoded body in memory beyond this is a bomb more likely than a body.
constexpr std::uint64_t kDefaultMaxDecodedInMemory = std::uint64_t{1} << 30;

}  // namespace

// ---------------------------------------------------------------------------------------
// ClientSession::Impl: the loop and its thread, the TLS context and the pool.

class ClientSession::Impl {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  explicit Impl(std::size_t buffer_size);
  ~Impl();

  std::shared_ptr<Response> Send(std::shared_ptr<Request> request,
                                 const SendOptions& options);
  bool Cancel();
  void Start();
  void Stop();

  void InitHeaders();
  std::shared_ptr<ClientBase> CreateClient(const std::string& scheme);
  void CreateSslContext();
  // Checks and takes new TLS settings (throws Error(kFileError) as TlsContext does).
  void SetTls(TlsSettings settings);
  // The pooled connections were made under settings that have just changed.
  void DropPool();
  // The address SetResolve chose for the URL's host and port, or empty.
  std::string ConnectAddress(const Url& url) const;
  // Throws Error(kLoopError) when called on the loop thread, where waiting for the loop
  // could only deadlock.
  void RefuseLoopThread(const char* operation);
  // Sends `request` and the requests of the redirects it is answered with, as far as
  // the settings say.
  std::shared_ptr<Response> SendFollowing(std::shared_ptr<Request> request,
                                          const SendOptions& options, Deadline deadline);
  // One exchange, on a pooled connection or a new one. With `following`, progress is
  // reported only for a response that is not a redirect about to be followed.
  std::shared_ptr<Response> DoSend(const std::shared_ptr<Request>& request,
                                   const SendOptions& options, Deadline deadline,
                                   bool following);
  // Where `response` to `request` sends the client next, if it is to be followed.
  std::optional<Url> RedirectTarget(const Response& response, const Url& current) const;
  // Runs the exchange on `client` once, and once more when it failed in a way that a
  // retry on a new connection may mend.
  Error RunExchange(const std::shared_ptr<ClientBase>& client,
                    const std::shared_ptr<Request>& request, bool stream);
  void SetCurrentClient(std::shared_ptr<ClientBase> client);

  // Declared first so that it is destroyed last: everything below refers to it.
  boost::asio::io_context io_context_;
  std::unique_ptr<std::thread> loop_thread_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_guard_;
  // Made from tls_settings_ by the first https request after they last changed; each
  // driver keeps the context it was made with.
  TlsSettings tls_settings_;
  std::shared_ptr<TlsContext> tls_context_;
  // SetResolve's addresses by lower-case host (without brackets) and port.
  std::map<std::pair<std::string, std::uint16_t>, std::string> resolve_;
  bool started_ = false;
  std::string media_type_;
  std::string charset_;
  Headers headers_;
  std::chrono::milliseconds connect_timeout_{0};
  std::chrono::milliseconds read_timeout_{0};
  std::chrono::milliseconds exchange_timeout_{0};
  std::size_t buffer_size_ = 0;
  ConnectionPool pool_;
  std::atomic<std::size_t> pool_size_{0};
  std::shared_ptr<ClientBase> current_client_;
  // Set while Stop runs: a Send that has not started its exchange yet must not.
  bool stopping_ = false;
  // Set for the whole of a Send, redirects included.
  bool sending_ = false;
  // Set by a Cancel during a Send: no further exchange (a retry, the next redirect)
  // starts after it.
  bool cancelled_ = false;
  int max_redirects_ = 0;
  bool allow_downgrade_ = false;
  bool decompress_ = false;
  std::optional<std::uint64_t> max_decoded_size_;  // unset: by where the body goes
  // Guards current_client_, stopping_ and cancelled_ alone, so that Cancel never waits
  // for a Send.
  std::mutex current_client_mutex_;
  // Serialises Send (and guards pool_).
  mutable std::mutex mutex_;
};


ClientSession::Impl::Impl(std::size_t buffer_size)
    : work_guard_(boost::asio::make_work_guard(io_context_)), buffer_size_(buffer_size) {
  InitHeaders();
  Start();
}

ClientSession::Impl::~Impl() {
  Stop();
  // The loop thread is gone: this thread may run the loop itself. The drivers' closes
  // are handed to the loop, so it runs once more to carry them out (and to finish the
  // completions still holding a driver) before the TLS context and the loop go.
  SetCurrentClient(nullptr);
  pool_.Clear();
  io_context_.restart();
  io_context_.poll();
}

void ClientSession::Impl::InitHeaders() {
  headers_.Set("User-Agent", UserAgent());
  headers_.Set("Accept", "*/*");
  headers_.Set("Accept-Encoding", "identity");
  headers_.Set("Connection", "Keep-Alive");
}

void ClientSession::Impl::RefuseLoopThread(const char* operation) {
  if (io_context_.get_executor().running_in_this_thread()) {
    LOG_ERRO("%s called on the session's loop thread", operation);
    throw Error(kLoopError, "Called on the session's loop thread");
  }
}

void ClientSession::Impl::Start() {
  RefuseLoopThread("Start");
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return;
  io_context_.restart();
  // A thread that cannot be created throws here and leaves the session stopped.
  loop_thread_ = std::make_unique<std::thread>([this] { io_context_.run(); });
  started_ = true;
}

void ClientSession::Impl::Stop() {
  // Joining its own thread could only deadlock (and the send lock is held by the Send
  // that is waiting for this very thread).
  RefuseLoopThread("Stop");
  {
    std::lock_guard<std::mutex> lock(current_client_mutex_);
    stopping_ = true;
  }
  Cancel();
  // The send lock is free only once the exchange that Cancel aborted has finished and
  // woken its caller; the loop keeps running until then.
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) {
    io_context_.stop();
    loop_thread_->join();
    loop_thread_.reset();
    started_ = false;
  }
  std::lock_guard<std::mutex> client_lock(current_client_mutex_);
  stopping_ = false;
}

bool ClientSession::Impl::Cancel() {
  std::shared_ptr<ClientBase> client;
  {
    std::lock_guard<std::mutex> lock(current_client_mutex_);
    if (!sending_) return false;
    cancelled_ = true;
    client = current_client_;
  }
  // The driver hands the close to the loop thread, which owns the socket. Between two
  // exchanges of a send there is no driver: the flag stops the next one.
  if (client != nullptr) client->Cancel();
  return true;
}

void ClientSession::Impl::SetCurrentClient(std::shared_ptr<ClientBase> client) {
  std::lock_guard<std::mutex> lock(current_client_mutex_);
  current_client_ = std::move(client);
}

std::shared_ptr<Response> ClientSession::Impl::Send(std::shared_ptr<Request> request,
                                                    const SendOptions& options) {
  if (request == nullptr) throw Error(kRequestError, "Request is missing");
  RefuseLoopThread("Send");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) throw Error(kLoopError, "Loop is not running");

  for (const auto& field : headers_) {
    if (!request->HasHeader(field.first)) request->SetHeader(field.first, field.second);
  }
  const auto& body = request->GetBody();
  if (body != nullptr && body->GetSize() != 0 && !media_type_.empty() &&
      !request->HasHeader("Content-Type")) {
    request->SetContentType(media_type_, charset_);
  }
  request->Prepare();
  // The whole exchange's limit runs from here, across redirects and the retry.
  std::chrono::milliseconds timeout =
      options.timeout.count() > 0 ? options.timeout : exchange_timeout_;
  Deadline deadline = timeout.count() > 0 ? std::chrono::steady_clock::now() + timeout
                                          : Deadline::max();

  {
    std::lock_guard<std::mutex> guard(current_client_mutex_);
    sending_ = true;
    cancelled_ = false;
  }
  struct SendingScope {
    Impl* impl;
    ~SendingScope() {
      std::lock_guard<std::mutex> guard(impl->current_client_mutex_);
      impl->sending_ = false;
    }
  } scope{this};
  return SendFollowing(request, options, deadline);
}

void ClientSession::Impl::CreateSslContext() {
  if (tls_context_ != nullptr) return;
  tls_context_ = TlsContext::Create(tls_settings_);
}

void ClientSession::Impl::SetTls(TlsSettings settings) {
  // A file that cannot be used fails here, where the caller named it, rather than in
  // some later request's handshake.
  CheckTlsSettings(settings);
  tls_settings_ = std::move(settings);
  tls_context_.reset();
  DropPool();
}

void ClientSession::Impl::DropPool() {
  std::lock_guard<std::mutex> lock(mutex_);
  pool_.Clear();
  pool_size_ = 0;
}

std::string ClientSession::Impl::ConnectAddress(const Url& url) const {
  if (resolve_.empty()) return {};
  std::string host = StripBrackets(boost::algorithm::to_lower_copy(url.GetHost()));
  std::uint16_t port = 0;
  if (url.GetPort().empty()) {
    port = boost::algorithm::iequals(url.GetScheme(), "https") ? 443 : 80;
  } else if (!ParsePort(url.GetPort(), port)) {
    return {};
  }
  auto it = resolve_.find({host, port});
  return it != resolve_.end() ? it->second : std::string();
}

std::shared_ptr<ClientBase> ClientSession::Impl::CreateClient(const std::string& scheme) {
  if (boost::algorithm::iequals(scheme, "http")) {
    return std::make_shared<Client>(io_context_);
  }
  if (boost::algorithm::iequals(scheme, "https")) {
    CreateSslContext();
    return std::make_shared<SslClient>(io_context_, tls_context_);
  }
  return nullptr;
}

namespace {

// Methods that may be sent again without changing what the server does (RFC 9110 9.2.2).
bool IsIdempotent(const std::string& method) {
  for (const char* idempotent : {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE"}) {
    if (method == idempotent) return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Redirects

namespace {

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::uint16_t EffectivePort(const Url& url) {
  std::uint16_t port = 0;
  if (ParsePort(url.GetPort(), port)) return port;
  return boost::algorithm::iequals(url.GetScheme(), "https") ? 443 : 80;
}

bool SameOrigin(const Url& a, const Url& b) {
  return boost::algorithm::iequals(a.GetScheme(), b.GetScheme()) &&
         boost::algorithm::iequals(a.GetHost(), b.GetHost()) &&
         EffectivePort(a) == EffectivePort(b);
}

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names) {
  for (const char* candidate : names) {
    if (boost::algorithm::iequals(name, candidate)) return true;
  }
  return false;
}

// The request that follows `previous` to `target` after a `status` redirect, or null
// when it cannot be sent (its line or fields would be refused).
std::shared_ptr<Request> MakeHop(const Request& previous, int status, Url target) {
  std::string method = previous.GetMethod();
  bool drop_body = false;
  // As browsers do: 301 and 302 turn a POST into a GET, 303 everything but HEAD; 307
  // and 308 repeat the request as it was.
  if (((status == 301 || status == 302) && method == "POST") ||
      (status == 303 && method != "HEAD")) {
    method = "GET";
    drop_body = true;
  }
  // Credentials are for the origin they were given to.
  bool same_origin = SameOrigin(previous.GetUrl(), target);
  auto next = std::make_shared<Request>();
  next->SetMethod(method).SetUrl(std::move(target));
  for (const auto& [name, value] : previous.GetHeaders()) {
    if (IsOneOf(name, {"Host"})) continue;
    if (!same_origin && IsOneOf(name, {"Authorization", "Cookie", "Proxy-Authorization"})) {
      continue;
    }
    if (drop_body && IsOneOf(name, {"Content-Type", "Content-Length", "Transfer-Encoding"})) {
      continue;
    }
    next->AddHeader(name, value);
  }
  // The same body object: each exchange writes it from its start.
  next->SetBody(drop_body ? nullptr : previous.GetBody(), false);
  try {
    next->Prepare();
  } catch (const Error&) {
    return nullptr;
  }
  return next;
}

}  // namespace

std::optional<Url> ClientSession::Impl::RedirectTarget(const Response& response,
                                                       const Url& current) const {
  if (max_redirects_ <= 0 || !IsRedirectStatus(response.GetStatus())) return std::nullopt;
  const std::string& location = response.GetHeader("Location");
  if (location.empty()) return std::nullopt;
  return current.Resolve(location);
}

std::shared_ptr<Response> ClientSession::Impl::SendFollowing(
    std::shared_ptr<Request> request, const SendOptions& options, Deadline deadline) {
  std::shared_ptr<Request> hop = std::move(request);
  for (int hops = 0;; ++hops) {
    std::shared_ptr<Response> response = DoSend(hop, options, deadline, max_redirects_ > 0);
    const Url& current = hop->GetUrl();
    std::optional<Url> target = RedirectTarget(*response, current);
    std::shared_ptr<Request> next;
    if (target) {
      if (hops == max_redirects_) {
        Error error(kRequestError, "Too many redirects");
        error.SetDetail("more than " + std::to_string(max_redirects_) + " redirects, the last to " +
                        target->ToString());
        throw error;
      }
      if (boost::algorithm::iequals(current.GetScheme(), "https") &&
          boost::algorithm::iequals(target->GetScheme(), "http") && !allow_downgrade_) {
        LOG_ERRO("Redirect from https to http refused: %s", target->ToString().c_str());
        Error error(kRequestError, "Insecure redirect");
        error.SetDetail("from " + current.ToString() + " to " + target->ToString());
        throw error;
      }
      next = MakeHop(*hop, response->GetStatus(), std::move(*target));
    }
    if (next == nullptr) {
      response->SetUrl(current);
      response->SetRedirectCount(hops);
      return response;
    }
    LOG_INFO("Following a %d redirect to %s", response->GetStatus(),
             next->GetUrl().ToString().c_str());
    // An intermediate body (a temporary file, when streamed) goes at once.
    response.reset();
    hop = std::move(next);
  }
}

std::shared_ptr<Response> ClientSession::Impl::DoSend(const std::shared_ptr<Request>& request,
                                                      const SendOptions& options,
                                                      Deadline deadline, bool following) {
  // A sink takes the body instead of memory or a file.
  const bool stream = options.stream && !options.sink;
  const Url& url = request->GetUrl();
  PoolKey key{url.GetScheme(), url.GetHost(), url.GetPort()};
  ConnectionPool::Clock::time_point now = ConnectionPool::Clock::now();
  pool_.Prune(now);

  std::shared_ptr<ClientBase> client = pool_.Get(key);
  bool pooled = client != nullptr;
  if (client == nullptr) {
    client = CreateClient(key.scheme);
    if (client == nullptr) throw Error(kRequestError, "Invalid URL scheme");
  }
  // Connections whose servers have closed them since are found and closed on the loop,
  // ahead of this exchange; Prune lets go of them afterwards.
  std::vector<std::shared_ptr<ClientBase>> others = pool_.Others(client.get());
  if (!others.empty()) {
    boost::asio::post(io_context_, [others = std::move(others)] {
      for (const auto& other : others) other->CloseIfDead();
    });
  }

  // Every send hands over the effective values: a driver from the pool still holds
  // whatever the previous send gave it.
  client->SetBufferSize(buffer_size_ != 0 ? buffer_size_ : kDefaultBufferSize);
  auto effective = [](std::chrono::milliseconds own, std::chrono::milliseconds session,
                      int fallback_seconds) -> std::chrono::milliseconds {
    if (own.count() > 0) return own;
    if (session.count() > 0) return session;
    return std::chrono::seconds(fallback_seconds);
  };
  client->SetConnectTimeout(
      effective(options.connect_timeout, connect_timeout_, kDefaultConnectTimeout));
  client->SetReadTimeout(effective(options.read_timeout, read_timeout_, kDefaultReadTimeout));
  client->SetExchangeDeadline(deadline);
  TransferCallback progress = options.progress;
  if (following && progress) {
    // The driver owns the callback, so the plain pointer cannot outlive it. A redirect
    // on its way to being followed is not the response the caller waits for.
    ClientBase* driver = client.get();
    progress = [this, driver, url, user = std::move(progress)](std::uint64_t current,
                                                                std::uint64_t total) {
      const Response* response = driver->PeekResponse();
      if (response != nullptr && RedirectTarget(*response, url)) return true;
      return user(current, total);
    };
  }
  client->SetTransferProgress(std::move(progress));
  client->SetUploadProgressCallback(options.upload_progress);
  client->SetBodyLimits(options.sink, options.max_body_size);
  client->SetConnectAddress(ConnectAddress(url));
  client->SetDecoding(decompress_, max_decoded_size_.value_or(stream || options.sink ? 0 : kDefaultMaxDecodedInMemory));

  Error error = RunExchange(client, request, stream);
  SetCurrentClient(nullptr);

  if (client->IsConnected()) {
    pool_.Add(key, client, ConnectionPool::Clock::now());
  } else if (pooled) {
    pool_.Remove(key);
  }
  pool_.Prune(now);
  pool_size_ = pool_.size();
  if (error.code() != kNoError) throw error;
  return client->TakeResponse();
}

Error ClientSession::Impl::RunExchange(const std::shared_ptr<ClientBase>& client,
                                 const std::shared_ptr<Request>& request, bool stream) {
  Error error;
  for (bool retry = false;; retry = true) {
    {
      std::lock_guard<std::mutex> guard(current_client_mutex_);
      // Stop has begun: its Cancel may have missed this exchange, so it does not start.
      if (stopping_) {
        Error stopped(kLoopError, "Loop is not running");
        stopped.SetCancelled(true);
        stopped.SetDetail("Cancelled");
        throw stopped;
      }
      // A Cancel between the attempts ends the send with the first attempt's error; one
      // before the first (or between redirects) ends it as a cancelled connect.
      if (cancelled_) {
        if (retry) return error;
        const Url& url = request->GetUrl();
        error = Error(kConnectError, "Socket connect error");
        error.SetCancelled(true);
        error.SetDetail("Cancelled (" + url.GetHost() + ":" +
                        std::to_string(EffectivePort(url)) + ")");
        return error;
      }
      // A Cancel that sees the client must reach this exchange, not the one before it.
      client->StartSend(request, stream);
      current_client_ = client;
    }
    error = client->Wait();
    if (error.code() == kNoError || retry || !client->CanRetry() ||
        !IsIdempotent(request->GetMethod())) {
      return error;
    }
    // The driver has closed the failed connection: the next exchange makes a new one
    // and writes the body from its start.
    LOG_WARN("Connection closed before the response (%s); sending the request again",
             error.what());
  }
}

// ---------------------------------------------------------------------------------------
// ClientSession

ClientSession::ClientSession(std::size_t buffer_size)
    : impl_(std::make_unique<Impl>(buffer_size)) {}

ClientSession::~ClientSession() = default;

std::shared_ptr<Response> ClientSession::Send(std::shared_ptr<Request> request, bool stream,
                                              ProgressCallback progress_callback) {
  SendOptions options;
  options.stream = stream;
  if (progress_callback) {
    options.progress = [callback = std::move(progress_callback)](std::uint64_t current,
                                                                 std::uint64_t total) {
      callback(static_cast<std::size_t>(current), static_cast<std::size_t>(total));
      return true;
    };
  }
  return impl_->Send(std::move(request), options);
}

std::shared_ptr<Response> ClientSession::Send(std::shared_ptr<Request> request,
                                              const SendOptions& options) {
  return impl_->Send(std::move(request), options);
}

bool ClientSession::Cancel() { return impl_->Cancel(); }
void ClientSession::Start() { impl_->Start(); }
void ClientSession::Stop() { impl_->Stop(); }
bool ClientSession::IsStarted() const { return impl_->started_; }

ClientSession& ClientSession::SetConnectTimeout(int seconds) {
  return SetConnectTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetReadTimeout(int seconds) {
  return SetReadTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetConnectTimeout(std::chrono::milliseconds limit) {
  impl_->connect_timeout_ = limit;
  return *this;
}

ClientSession& ClientSession::SetReadTimeout(std::chrono::milliseconds limit) {
  impl_->read_timeout_ = limit;
  return *this;
}

ClientSession& ClientSession::SetTimeout(std::chrono::milliseconds limit) {
  impl_->exchange_timeout_ = limit;
  return *this;
}

int ClientSession::GetConnectTimeout() const {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::seconds>(impl_->connect_timeout_).count());
}

int ClientSession::GetReadTimeout() const {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::seconds>(impl_->read_timeout_).count());
}
std::size_t ClientSession::GetBufferSize() const { return impl_->buffer_size_; }
const std::string& ClientSession::GetMediaType() const { return impl_->media_type_; }
const std::string& ClientSession::GetCharset() const { return impl_->charset_; }
const Headers& ClientSession::GetHeaders() const { return impl_->headers_; }
bool ClientSession::HasSslContext() const { return impl_->tls_context_ != nullptr; }
std::size_t ClientSession::GetPoolSize() const { return impl_->pool_size_; }

ClientSession& ClientSession::SetCaFile(std::string path) {
  TlsSettings settings = impl_->tls_settings_;
  settings.ca_file = std::move(path);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetCaPath(std::string directory) {
  TlsSettings settings = impl_->tls_settings_;
  settings.ca_path = std::move(directory);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetClientCertificate(std::string cert_file, std::string key_file,
                                                   std::string passphrase) {
  TlsSettings settings = impl_->tls_settings_;
  settings.cert_file = std::move(cert_file);
  settings.key_file = std::move(key_file);
  settings.passphrase = std::move(passphrase);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetVerifyPeer(bool verify) {
  TlsSettings settings = impl_->tls_settings_;
  settings.verify_peer = verify;
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetResolve(std::string host, std::uint16_t port,
                                         std::string address) {
  host = StripBrackets(boost::algorithm::to_lower_copy(host));
  if (address.empty()) {
    impl_->resolve_.erase({host, port});
  } else {
    std::string bare = StripBrackets(address);
    boost::system::error_code error;
    boost::asio::ip::make_address(bare, error);
    if (error) {
      Error invalid(kRequestError, "Invalid address");
      invalid.SetDetail("not an IP address: " + address);
      throw invalid;
    }
    impl_->resolve_[{host, port}] = std::move(bare);
  }
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetFollowRedirects(int max_hops, bool allow_downgrade) {
  impl_->max_redirects_ = std::max(max_hops, 0);
  impl_->allow_downgrade_ = allow_downgrade;
  return *this;
}

int ClientSession::GetMaxRedirects() const { return impl_->max_redirects_; }

ClientSession& ClientSession::SetDecompress(bool decompress) {
  impl_->decompress_ = decompress;
  impl_->headers_.Set("Accept-Encoding", decompress ? kDecodedCodings : "identity");
  return *this;
}

bool ClientSession::GetDecompress() const { return impl_->decompress_; }

ClientSession& ClientSession::SetMaxDecodedSize(std::uint64_t bytes) {
  impl_->max_decoded_size_ = bytes;
  return *this;
}

ClientSession& ClientSession::SetContentType(std::string media_type, std::string charset) {
  impl_->media_type_ = std::move(media_type);
  impl_->charset_ = std::move(charset);
  return *this;
}

ClientSession& ClientSession::Accept(std::string_view content_types) {
  impl_->headers_.Set("Accept", content_types);
  return *this;
}

ClientSession& ClientSession::Auth(std::string_view type, std::string_view credentials) {
  std::string value(type);
  value += ' ';
  value += credentials;
  impl_->headers_.Set("Authorization", value);
  return *this;
}

ClientSession& ClientSession::AuthBasic(std::string_view login, std::string_view password) {
  std::string pair(login);
  pair += ':';
  pair += password;
  return Auth("Basic", Base64Encode(pair));
}

ClientSession& ClientSession::AuthToken(std::string_view token) { return Auth("Token", token); }

}  // namespace korvo
