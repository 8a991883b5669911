#include "korvo/client_session.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <future>
#include <mutex>
#include <utility>

#include <boost/asio/post.hpp>

#include "korvo/error.h"
#include "korvo/internal/cancel_state.h"
#include "korvo/internal/client_base.h"
#include "korvo/internal/connection_settings.h"
#include "korvo/internal/exchange.h"
#include "korvo/internal/message_access.h"
#include "korvo/internal/proxy.h"
#include "korvo/internal/loop_thread.h"
#include "korvo/internal/request_access.h"
#include "korvo/internal/scheduler.h"
#include "korvo/internal/tls_context.h"
#include "korvo/internal/utility.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

// What SetDecompress asks servers for: every coding the decoders know.
constexpr const char* kDecodedCodings = "gzip, deflate, br, zstd";

}  // namespace

// ---------------------------------------------------------------------------------------
// SessionImpl: the session's settings and its front door. The loop and its
// thread, the scheduling of exchanges over connections and what connections are made
// with live in LoopThread, Scheduler and ConnectionSettings.

class detail::SessionImpl {
 public:
  explicit SessionImpl(std::size_t buffer_size);
  ~SessionImpl();

  std::shared_ptr<Response> Send(std::shared_ptr<Request> request,
                                 const SendOptions& options);
  std::future<std::shared_ptr<Response>> SendAsync(std::shared_ptr<Request> request,
                                                   SendOptions options);
  bool Cancel();
  void Stop();

  void InitHeaders();
  // Takes new TLS settings (throws Error(kFileError) as TlsContext does).
  void SetTls(TlsSettings settings);
  // The idle connections were made under settings that have just changed; busy ones
  // are closed when their exchanges end.
  void DropPool();

  // On the sending thread: completes `request` with the session's defaults and makes
  // its exchange (throws Error for a request that cannot be prepared).
  std::shared_ptr<Exchange> Prepare(const std::shared_ptr<Request>& request,
                                    SendOptions options);
  // Hands `exchange` to the loop; the error (and nothing happens) when the session is
  // stopped or stopping.
  Error Launch(const std::shared_ptr<Exchange>& exchange);

  // Declared first so that it is destroyed last: everything below refers to it.
  LoopThread loop_;
  ConnectionSettings connections_;
  Scheduler scheduler_{loop_, connections_};

  // Serialises the blocking sends.
  std::mutex send_mutex_;
  // The blocking send in progress, for Cancel.
  std::mutex blocking_mutex_;
  std::shared_ptr<Exchange> blocking_;

  // Plain settings, copied into each exchange when it is sent.
  std::string media_type_;
  std::string charset_;
  Headers headers_;
  ExchangeSettings settings_;
  std::chrono::milliseconds exchange_timeout_{0};
};

detail::SessionImpl::SessionImpl(std::size_t buffer_size) {
  settings_.buffer_size = buffer_size;
  connections_.SetProxyEnvironment(ProxyEnvironment::Read());
  InitHeaders();
  loop_.Start();
}

detail::SessionImpl::~SessionImpl() {
  Stop();
  // The loop thread is gone: this thread may run the loop itself. The drivers' closes
  // are handed to the loop, so it runs once more to carry them out (and to finish the
  // completions still holding a driver) before the TLS context and the loop go.
  scheduler_.Clear();
  loop_.RunPending();
}

void detail::SessionImpl::InitHeaders() {
  headers_.Set("User-Agent", UserAgent());
  headers_.Set("Accept", "*/*");
  headers_.Set("Accept-Encoding", "identity");
  headers_.Set("Connection", "Keep-Alive");
}

void detail::SessionImpl::Stop() {
  loop_.Stop([this] { scheduler_.CancelAll(); });
}

bool detail::SessionImpl::Cancel() {
  std::shared_ptr<Exchange> exchange;
  {
    std::lock_guard<std::mutex> lock(blocking_mutex_);
    if (blocking_ == nullptr) return false;
    exchange = blocking_;
  }
  boost::asio::post(loop_.context(), [this, exchange] { scheduler_.Cancel(exchange); });
  return true;
}

std::shared_ptr<Exchange> detail::SessionImpl::Prepare(const std::shared_ptr<Request>& request,
                                                       SendOptions options) {
  RequestAccess::ApplyDefaults(*request, headers_, media_type_, charset_);
  RequestAccess::PrepareForSend(*request);
  auto exchange = std::make_shared<Exchange>();
  exchange->request = request;
  exchange->settings = settings_;
  // The whole exchange's limit runs from here, across the wait for a connection,
  // redirects and the retry.
  std::chrono::milliseconds timeout =
      options.timeout.count() > 0 ? options.timeout : exchange_timeout_;
  if (timeout.count() > 0) exchange->deadline = std::chrono::steady_clock::now() + timeout;
  exchange->options = std::move(options);
  return exchange;
}

Error detail::SessionImpl::Launch(const std::shared_ptr<Exchange>& exchange) {
  Error refused = loop_.Admit();
  if (refused.code() != kNoError) return refused;
  // The handler runs under the token's lock and only posts; the scheduler removes it
  // before the exchange counts as ended, so it never outlives the session.
  const auto& token = CancelTokenAccess::Get(exchange->options.cancel);
  std::weak_ptr<Exchange> weak = exchange;
  exchange->cancel_id = token->Add([this, weak] {
    boost::asio::post(loop_.context(), [this, weak] {
      if (auto exchange = weak.lock()) scheduler_.Cancel(exchange);
    });
  });
  loop_.Launch([this, exchange] { scheduler_.Run(exchange); });
  return Error();
}

std::shared_ptr<Response> detail::SessionImpl::Send(std::shared_ptr<Request> request,
                                                    const SendOptions& options) {
  if (request == nullptr) {
    Error missing(kRequestError, "Request is missing");
    NotifyDone(options.on_done, nullptr, missing);
    throw missing;
  }
  loop_.RefuseHere("Send");
  std::lock_guard<std::mutex> send_lock(send_mutex_);
  std::shared_ptr<Exchange> exchange;
  try {
    exchange = Prepare(request, options);
  } catch (const Error& error) {
    NotifyDone(options.on_done, nullptr, error);
    throw;
  }
  exchange->blocking = true;
  auto outcome = std::make_shared<BlockingOutcome>();
  exchange->done = [outcome](std::shared_ptr<Response> response, Error error) {
    outcome->Deliver(std::move(response), std::move(error));
  };
  {
    std::lock_guard<std::mutex> lock(blocking_mutex_);
    blocking_ = exchange;
  }
  struct BlockingScope {
    detail::SessionImpl* impl;
    ~BlockingScope() {
      std::lock_guard<std::mutex> lock(impl->blocking_mutex_);
      impl->blocking_.reset();
    }
  } scope{this};
  Error refused = Launch(exchange);
  if (refused.code() != kNoError) {
    NotifyDone(exchange->options.on_done, nullptr, refused);
    throw refused;
  }
  return outcome->Wait(loop_.caller_spin());
}

std::future<std::shared_ptr<Response>> detail::SessionImpl::SendAsync(
    std::shared_ptr<Request> request, SendOptions options) {
  auto promise = std::make_shared<std::promise<std::shared_ptr<Response>>>();
  std::future<std::shared_ptr<Response>> future = promise->get_future();
  if (request == nullptr) {
    Error missing(kRequestError, "Request is missing");
    NotifyDone(options.on_done, nullptr, missing);
    promise->set_exception(std::make_exception_ptr(missing));
    return future;
  }
  std::shared_ptr<Exchange> exchange;
  DoneCallback on_done = options.on_done;
  try {
    exchange = Prepare(request, std::move(options));
  } catch (const Error& error) {
    NotifyDone(on_done, nullptr, error);
    promise->set_exception(std::current_exception());
    return future;
  } catch (...) {
    promise->set_exception(std::current_exception());
    return future;
  }
  exchange->done = [promise](std::shared_ptr<Response> response, Error error) {
    if (error.code() != kNoError) {
      promise->set_exception(std::make_exception_ptr(std::move(error)));
    } else {
      promise->set_value(std::move(response));
    }
  };
  Error refused = Launch(exchange);
  if (refused.code() != kNoError) {
    NotifyDone(exchange->options.on_done, nullptr, refused);
    promise->set_exception(std::make_exception_ptr(refused));
  }
  return future;
}

void detail::SessionImpl::SetTls(TlsSettings settings) {
  connections_.SetTls(std::move(settings));
  DropPool();
}

void detail::SessionImpl::DropPool() {
  // Done on the loop, which owns the pool, before the setter returns.
  loop_.RunOnLoop([this] { scheduler_.Clear(); });
}

// ---------------------------------------------------------------------------------------
// ClientSession

ClientSession::ClientSession(std::size_t buffer_size)
    : impl_(std::make_unique<detail::SessionImpl>(buffer_size)) {}

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

std::future<std::shared_ptr<Response>> ClientSession::SendAsync(std::shared_ptr<Request> request,
                                                                SendOptions options) {
  return impl_->SendAsync(std::move(request), std::move(options));
}

bool ClientSession::Cancel() { return impl_->Cancel(); }
void ClientSession::Start() { impl_->loop_.Start(); }
void ClientSession::Stop() { impl_->Stop(); }
bool ClientSession::IsStarted() const { return impl_->loop_.IsStarted(); }

ClientSession& ClientSession::SetConnectTimeout(int seconds) {
  return SetConnectTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetReadTimeout(int seconds) {
  return SetReadTimeout(std::chrono::seconds(std::max(seconds, 0)));
}

ClientSession& ClientSession::SetConnectTimeout(std::chrono::milliseconds limit) {
  impl_->settings_.connect_timeout = limit;
  return *this;
}

ClientSession& ClientSession::SetReadTimeout(std::chrono::milliseconds limit) {
  impl_->settings_.read_timeout = limit;
  return *this;
}

ClientSession& ClientSession::SetTimeout(std::chrono::milliseconds limit) {
  impl_->exchange_timeout_ = limit;
  return *this;
}

std::chrono::milliseconds ClientSession::GetTimeout() const { return impl_->exchange_timeout_; }

namespace {

std::chrono::milliseconds Applying(std::chrono::milliseconds limit, int default_seconds) {
  return limit.count() > 0 ? limit : std::chrono::seconds(default_seconds);
}

int WholeSecondsUp(std::chrono::milliseconds limit) {
  return static_cast<int>((limit.count() + 999) / 1000);
}

}  // namespace

std::chrono::milliseconds ClientSession::GetConnectTimeoutMs() const {
  return Applying(impl_->settings_.connect_timeout, kDefaultConnectTimeout);
}

std::chrono::milliseconds ClientSession::GetReadTimeoutMs() const {
  return Applying(impl_->settings_.read_timeout, kDefaultReadTimeout);
}

int ClientSession::GetConnectTimeout() const { return WholeSecondsUp(GetConnectTimeoutMs()); }
int ClientSession::GetReadTimeout() const { return WholeSecondsUp(GetReadTimeoutMs()); }
std::size_t ClientSession::GetBufferSize() const { return impl_->settings_.buffer_size; }
const std::string& ClientSession::GetMediaType() const { return impl_->media_type_; }
const std::string& ClientSession::GetCharset() const { return impl_->charset_; }
const Headers& ClientSession::GetHeaders() const { return impl_->headers_; }
bool ClientSession::HasSslContext() const { return impl_->connections_.HasTlsContext(); }
std::size_t ClientSession::GetPoolSize() const { return impl_->scheduler_.PoolSize(); }

ClientSession& ClientSession::SetMaxConnectionsPerHost(std::size_t limit) {
  impl_->scheduler_.SetMaxPerHost(limit);
  return *this;
}

ClientSession& ClientSession::SetMaxConnections(std::size_t limit) {
  impl_->scheduler_.SetMaxConnections(limit);
  return *this;
}

std::size_t ClientSession::GetMaxConnectionsPerHost() const {
  return impl_->scheduler_.GetMaxPerHost();
}
std::size_t ClientSession::GetMaxConnections() const {
  return impl_->scheduler_.GetMaxConnections();
}

ClientSession& ClientSession::SetCaFile(std::string path) {
  TlsSettings settings = impl_->connections_.GetTls();
  settings.ca_file = std::move(path);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetCaPath(std::string directory) {
  TlsSettings settings = impl_->connections_.GetTls();
  settings.ca_path = std::move(directory);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetClientCertificate(std::string cert_file, std::string key_file,
                                                   std::string passphrase) {
  TlsSettings settings = impl_->connections_.GetTls();
  settings.cert_file = std::move(cert_file);
  settings.key_file = std::move(key_file);
  settings.passphrase = std::move(passphrase);
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetVerifyPeer(bool verify) {
  TlsSettings settings = impl_->connections_.GetTls();
  settings.verify_peer = verify;
  impl_->SetTls(std::move(settings));
  return *this;
}

ClientSession& ClientSession::SetResolve(std::string host, std::uint16_t port,
                                         std::string address) {
  impl_->connections_.SetResolve(host, port, address);
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetProxy(std::string url) {
  std::optional<ProxyUrl> proxy;
  if (url.find_first_not_of(" \t") != std::string::npos) {
    std::string why;
    proxy = ProxyUrl::Parse(url, &why);
    if (!proxy) {
      Error invalid(kRequestError, "Invalid proxy");
      invalid.SetDetail(why);
      throw invalid;
    }
  }
  impl_->connections_.SetProxy(std::move(proxy));
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetNoProxy(std::string list) {
  impl_->connections_.SetNoProxy(list);
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetProxyFromEnvironment(bool use) {
  impl_->connections_.SetProxyEnvironment(use ? ProxyEnvironment::Read() : ProxyEnvironment());
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetUnixSocket(std::string path) {
  impl_->connections_.SetUnixSocket(std::move(path));
  impl_->DropPool();
  return *this;
}

ClientSession& ClientSession::SetHttpVersion(HttpVersion version) {
  impl_->connections_.SetHttpVersion(version);
  impl_->DropPool();
  return *this;
}

HttpVersion ClientSession::GetHttpVersion() const {
  return impl_->connections_.GetHttpVersion();
}

ClientSession& ClientSession::SetCookieJar(std::shared_ptr<CookieJar> jar) {
  impl_->settings_.cookie_jar = std::move(jar);
  return *this;
}

const std::shared_ptr<CookieJar>& ClientSession::GetCookieJar() const {
  return impl_->settings_.cookie_jar;
}

ClientSession& ClientSession::SetFollowRedirects(int max_hops, bool allow_downgrade) {
  impl_->settings_.max_redirects = std::max(max_hops, 0);
  impl_->settings_.allow_downgrade = allow_downgrade;
  return *this;
}

int ClientSession::GetMaxRedirects() const { return impl_->settings_.max_redirects; }

ClientSession& ClientSession::SetDecompress(bool decompress) {
  impl_->settings_.decompress = decompress;
  impl_->headers_.Set("Accept-Encoding", decompress ? kDecodedCodings : "identity");
  return *this;
}

bool ClientSession::GetDecompress() const { return impl_->settings_.decompress; }

ClientSession& ClientSession::SetMaxDecodedSize(std::uint64_t bytes) {
  impl_->settings_.max_decoded_size = bytes;
  return *this;
}

std::uint64_t ClientSession::GetMaxDecodedSize() const {
  return impl_->settings_.max_decoded_size.value_or(kDefaultMaxDecodedInMemory);
}

ClientSession& ClientSession::SetContentType(std::string media_type, std::string charset) {
  impl_->media_type_ = std::move(media_type);
  impl_->charset_ = std::move(charset);
  return *this;
}

ClientSession& ClientSession::SetHeader(std::string_view name, std::string_view value) {
  if (value.empty()) {
    RemoveHeader(name);
    return *this;
  }
  // Refused here, where the caller named it, rather than by every send.
  CheckRequestField(name, value);
  if (AsciiIEquals(name, "Host")) {
    Error error(kRequestError, "Invalid header field");
    error.SetDetail("\"Host\": always the URL's host");
    throw error;
  }
  impl_->headers_.Set(name, value);
  return *this;
}

bool ClientSession::RemoveHeader(std::string_view name) { return impl_->headers_.Remove(name); }

ClientSession& ClientSession::Accept(std::string_view content_types) {
  if (content_types.empty()) return *this;
  return SetHeader("Accept", content_types);
}

ClientSession& ClientSession::Auth(std::string_view type, std::string_view credentials) {
  std::string value(type);
  value += ' ';
  value += credentials;
  return SetHeader("Authorization", value);
}

ClientSession& ClientSession::AuthBasic(std::string_view login, std::string_view password) {
  std::string pair(login);
  pair += ':';
  pair += password;
  return Auth("Basic", Base64Encode(pair));
}

ClientSession& ClientSession::AuthBearer(std::string_view token) { return Auth("Bearer", token); }

ClientSession& ClientSession::AuthToken(std::string_view token) { return Auth("Token", token); }

}  // namespace korvo
