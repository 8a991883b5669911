#include "korvo/client_session.h"

#include <condition_variable>
#include <system_error>
#include <tuple>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/post.hpp>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "korvo/error.h"
#include "korvo/logger.h"
#include "korvo/utility.h"

namespace korvo {

// ---------------------------------------------------------------------------------------
// PoolKey and ConnectionPool

bool PoolKey::operator==(const PoolKey& other) const {
  return scheme == other.scheme && host == other.host && port == other.port;
}

bool PoolKey::operator<(const PoolKey& other) const {
  return std::tie(scheme, host, port) < std::tie(other.scheme, other.host, other.port);
}

ConnectionPool::~ConnectionPool() { Clear(); }

constexpr std::chrono::seconds ConnectionPool::kMaxIdleTime;
constexpr std::size_t ConnectionPool::kMaxConnections;

std::shared_ptr<ClientBase> ConnectionPool::Get(const PoolKey& key) const {
  auto it = clients_.find(key);
  return it != clients_.end() ? it->second.client : nullptr;
}

void ConnectionPool::Add(const PoolKey& key, std::shared_ptr<ClientBase> client,
                         Clock::time_point now) {
  if (client == nullptr) return;
  clients_[key] = Entry{std::move(client), now};
  while (clients_.size() > kMaxConnections) {
    auto oldest = clients_.begin();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
      if (it->second.last_used < oldest->second.last_used) oldest = it;
    }
    oldest->second.client->Close();
    clients_.erase(oldest);
  }
}

void ConnectionPool::Remove(const PoolKey& key) { clients_.erase(key); }

void ConnectionPool::Prune(Clock::time_point now) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    ClientBase& client = *it->second.client;
    if (!client.IsConnected()) {
      it = clients_.erase(it);
    } else if (now - it->second.last_used > kMaxIdleTime) {
      client.Close();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<std::shared_ptr<ClientBase>> ConnectionPool::Others(const ClientBase* except) const {
  std::vector<std::shared_ptr<ClientBase>> others;
  for (const auto& entry : clients_) {
    if (entry.second.client.get() != except) others.push_back(entry.second.client);
  }
  return others;
}

void ConnectionPool::Clear() {
  for (auto& entry : clients_) entry.second.client->Close();
  clients_.clear();
}

// ---------------------------------------------------------------------------------------
// Root certificates

namespace {

// Distribution CA bundles, most common first; OpenSSL's own default file comes last.
std::vector<std::filesystem::path> SystemBundles() {
  return {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
          X509_get_default_cert_file()};
}

}  // namespace

bool AddRootCertificatesFromBundles(SSL_CTX* ssl_ctx,
                                    const std::vector<std::filesystem::path>& bundles) {
  BIO* bio = nullptr;
  for (const auto& bundle : bundles) {
    bio = BIO_new_file(bundle.c_str(), "r");
    if (bio != nullptr) break;
  }
  // Failed opens leave errors behind that a later handshake would otherwise report.
  ERR_clear_error();
  if (bio == nullptr) {
    LOG_ERRO("Cannot open system certificate store.");
    return false;
  }

  X509_STORE* store = SSL_CTX_get_cert_store(ssl_ctx);
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio, &name, &header, &data, &length) != 1) {
      unsigned long error = ERR_peek_last_error();
      ERR_clear_error();
      // The end of the file shows as a missing start line; a damaged block is skipped.
      if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) {
        break;
      }
      if (BIO_eof(bio)) break;
      continue;
    }
    const unsigned char* cursor = data;
    X509* certificate = nullptr;
    std::string_view block_name(name);
    if (block_name == PEM_STRING_X509 || block_name == PEM_STRING_X509_OLD) {
      certificate = d2i_X509(nullptr, &cursor, length);
    } else if (block_name == PEM_STRING_X509_TRUSTED) {
      certificate = d2i_X509_AUX(nullptr, &cursor, length);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (certificate == nullptr) {
      // Not a certificate, or one that does not decode: skipped without a record.
      ERR_clear_error();
      continue;
    }
    if (X509_STORE_add_cert(store, certificate) != 1) {
      ERR_clear_error();
      LOG_ERRO("Cannot add system root certificate.");
    }
    X509_free(certificate);  // the store holds its own reference
  }
  BIO_free(bio);
  return true;
}

bool AddSystemRootCertificates(SSL_CTX* ssl_ctx) {
  return AddRootCertificatesFromBundles(ssl_ctx, SystemBundles());
}

// ---------------------------------------------------------------------------------------
// ClientSession

ClientSession::ClientSession(std::size_t buffer_size)
    : work_guard_(boost::asio::make_work_guard(io_context_)), buffer_size_(buffer_size) {
  InitHeaders();
  Start();
}

ClientSession::~ClientSession() {
  Stop();
  // The loop thread is gone: this thread may run the loop itself. The drivers' closes
  // are handed to the loop, so it runs once more to carry them out (and to finish the
  // completions still holding a driver) before the TLS context and the loop go.
  SetCurrentClient(nullptr);
  pool_.Clear();
  io_context_.restart();
  io_context_.poll();
}

void ClientSession::InitHeaders() {
  headers_.Set("User-Agent", UserAgent());
  headers_.Set("Accept", "*/*");
  headers_.Set("Accept-Encoding", "identity");
  headers_.Set("Connection", "Keep-Alive");
}

void ClientSession::RefuseLoopThread(const char* operation) {
  if (io_context_.get_executor().running_in_this_thread()) {
    LOG_ERRO("%s called on the session's loop thread", operation);
    throw Error(kLoopError, "Called on the session's loop thread");
  }
}

void ClientSession::Start() {
  RefuseLoopThread("Start");
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return;
  io_context_.restart();
  // A thread that cannot be created throws here and leaves the session stopped.
  loop_thread_ = std::make_unique<std::thread>([this] { io_context_.run(); });
  started_ = true;
}

void ClientSession::Stop() {
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

bool ClientSession::Cancel() {
  std::shared_ptr<ClientBase> client;
  {
    std::lock_guard<std::mutex> lock(current_client_mutex_);
    client = current_client_;
    if (client == nullptr) return false;
    cancelled_ = true;
  }
  // The driver hands the close to the loop thread, which owns the socket.
  client->Cancel();
  return true;
}

void ClientSession::SetCurrentClient(std::shared_ptr<ClientBase> client) {
  std::lock_guard<std::mutex> lock(current_client_mutex_);
  current_client_ = std::move(client);
}

ClientSession& ClientSession::SetContentType(std::string media_type, std::string charset) {
  media_type_ = std::move(media_type);
  charset_ = std::move(charset);
  return *this;
}

ClientSession& ClientSession::Accept(std::string_view content_types) {
  headers_.Set("Accept", content_types);
  return *this;
}

ClientSession& ClientSession::Auth(std::string_view type, std::string_view credentials) {
  std::string value(type);
  value += ' ';
  value += credentials;
  headers_.Set("Authorization", value);
  return *this;
}

ClientSession& ClientSession::AuthBasic(std::string_view login, std::string_view password) {
  std::string pair(login);
  pair += ':';
  pair += password;
  return Auth("Basic", Base64Encode(pair));
}

ClientSession& ClientSession::AuthToken(std::string_view token) { return Auth("Token", token); }

std::shared_ptr<Response> ClientSession::Send(std::shared_ptr<Request> request, bool stream,
                                              ProgressCallback progress_callback) {
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
  return DoSend(request, stream, std::move(progress_callback));
}

void ClientSession::CreateSslContext() {
  if (ssl_context_ != nullptr) return;
  ssl_context_ = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  // Older versions are broken; the floor is the library's, not the system configuration's.
  SSL_CTX_set_min_proto_version(ssl_context_->native_handle(), TLS1_2_VERSION);
  AddSystemRootCertificates(ssl_context_->native_handle());
}

std::shared_ptr<ClientBase> ClientSession::CreateClient(const std::string& scheme) {
  if (boost::algorithm::iequals(scheme, "http")) {
    return std::make_shared<Client>(io_context_);
  }
  if (boost::algorithm::iequals(scheme, "https")) {
    CreateSslContext();
    return std::make_shared<SslClient>(io_context_, *ssl_context_);
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

std::shared_ptr<Response> ClientSession::DoSend(const std::shared_ptr<Request>& request,
                                                bool stream, ProgressCallback progress_callback) {
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
  client->SetConnectTimeout(connect_timeout_ > 0 ? connect_timeout_ : kDefaultConnectTimeout);
  client->SetReadTimeout(read_timeout_ > 0 ? read_timeout_ : kDefaultReadTimeout);
  client->SetProgressCallback(std::move(progress_callback));

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

Error ClientSession::RunExchange(const std::shared_ptr<ClientBase>& client,
                                 const std::shared_ptr<Request>& request, bool stream) {
  Error error;
  for (bool retry = false;; retry = true) {
    {
      std::lock_guard<std::mutex> guard(current_client_mutex_);
      // A Cancel between the attempts ends the send with the first attempt's error.
      if (retry && cancelled_) return error;
      // Stop has begun: its Cancel may have missed this exchange, so it does not start.
      if (stopping_) throw Error(kLoopError, "Loop is not running");
      cancelled_ = false;
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

}  // namespace korvo
