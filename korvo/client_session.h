// ClientSession: the object through which a program sends HTTP requests.
//
// A session owns an event loop and the one thread that runs it, merges its default
// headers and default content type into every request, picks a plain or a TLS driver
// from the URL's scheme, keeps connections that the server left open in a
// ConnectionPool (one per scheme, host and port) and turns the driver's outcome into a
// Response or a thrown Error. Send blocks the calling thread while the exchange runs on
// the loop thread.
//
// A request that fails on a kept connection before any byte of its response arrived
// (the server closed the idle connection just as it was reused) is sent once more on a
// new connection when its method is idempotent; a WARN record says so.
//
// Thread rules: Send may be called from any number of threads; sends are serialised.
// Cancel and GetPoolSize may be called from any thread, Cancel typically while another
// thread is blocked in Send. Start, Stop and destruction belong to the thread that owns
// the session. The loop thread (a callback such as the progress callback) must not
// wait for itself: Send, Start and Stop called there throw Error(kLoopError), and
// destroying the session there is not allowed. The settings are plain values: change
// them while no other thread uses the session.
#ifndef KORVO_CLIENT_SESSION_H_
#define KORVO_CLIENT_SESSION_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

#include "korvo/client_base.h"
#include "korvo/common.h"
#include "korvo/request.h"
#include "korvo/response.h"

namespace korvo {

// Where a pooled connection leads: the URL's scheme, host and port exactly as written
// (no case folding, no default port; an absent port is the empty string).
struct PoolKey {
  std::string scheme;
  std::string host;
  std::string port;

  bool operator==(const PoolKey& other) const;
  bool operator!=(const PoolKey& other) const { return !(*this == other); }
  // By scheme, then host, then port, each as a plain byte string.
  bool operator<(const PoolKey& other) const;
};

// ConnectionPool: the drivers whose connections stayed open after an exchange, at most
// one per key. The pool never reads a socket itself (that happens on the loop thread);
// its owner decides when to add, look up and remove, and Prune lets go of what is no
// longer worth keeping: connections found closed, idle for longer than kMaxIdleTime, and
// beyond kMaxConnections the least recently used. Destruction closes every stored
// connection, in key order.
//
// Thread rules: not synchronised; the session uses it under its send lock and in its
// destructor, after the loop thread has been joined.
class ConnectionPool {
 public:
  using Clock = std::chrono::steady_clock;

  // Servers commonly close idle connections after 5 to 75 seconds; a connection kept
  // longer is more likely to fail the request that reuses it than to save a handshake.
  static constexpr std::chrono::seconds kMaxIdleTime{60};
  // Idle connections kept at most, each a descriptor and (for TLS) a session's memory.
  static constexpr std::size_t kMaxConnections = 64;

  ConnectionPool() = default;
  ~ConnectionPool();

  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // The client stored under `key`, or null. The client stays in the pool.
  std::shared_ptr<ClientBase> Get(const PoolKey& key) const;

  // Stores `client` under `key`, last used at `now`, releasing a client stored there
  // before. A null client is not stored (and removes nothing). Beyond kMaxConnections
  // the least recently used connection is closed and released.
  void Add(const PoolKey& key, std::shared_ptr<ClientBase> client, Clock::time_point now);
  void Add(const PoolKey& key, std::shared_ptr<ClientBase> client) {
    Add(key, std::move(client), Clock::now());
  }

  // Erases the entry under `key`, if there is one.
  void Remove(const PoolKey& key);

  // Releases the clients whose connections have closed, and closes and releases those
  // idle since before `now` - kMaxIdleTime.
  void Prune(Clock::time_point now);

  // Every stored client but `except`.
  std::vector<std::shared_ptr<ClientBase>> Others(const ClientBase* except) const;

  // Closes every stored connection, in key order, and releases the clients.
  void Clear();

  std::size_t size() const { return clients_.size(); }
  bool empty() const { return clients_.empty(); }

 private:
  struct Entry {
    std::shared_ptr<ClientBase> client;
    Clock::time_point last_used;
  };
  std::map<PoolKey, Entry> clients_;
};

// Adds the platform's trusted root certificates (the distribution's CA bundle) to the
// certificate store of `ssl_ctx`. False when no bundle could be opened (logged as an
// error); certificates that cannot be added are logged and skipped.
bool AddSystemRootCertificates(SSL_CTX* ssl_ctx);

// The loader behind AddSystemRootCertificates: reads the first of `bundles` that opens
// and adds each PEM certificate in it; blocks that do not decode are skipped. False,
// with the same record, when none opens.
bool AddRootCertificatesFromBundles(SSL_CTX* ssl_ctx,
                                    const std::vector<std::filesystem::path>& bundles);

class ClientSession {
 public:
  // `buffer_size` is the read-buffer size handed to every driver; 0 keeps the driver's
  // default. Starts the loop thread.
  explicit ClientSession(std::size_t buffer_size = 0);
  // Stops the session, then closes the pooled connections.
  ~ClientSession();

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Completes `request` in place (default headers, default content type, request line
  // and "Host"), runs the exchange and returns the response. With `stream`, the body is
  // written to a temporary file (a FileBody) instead of memory. `progress_callback` runs
  // on the loop thread while the response arrives. Throws Error: kLoopError "Loop is not
  // running" when stopped, kRequestError for a URL without host or with a scheme other
  // than http or https, otherwise the driver's error. A request is never sent twice.
  std::shared_ptr<Response> Send(std::shared_ptr<Request> request, bool stream = false,
                                 ProgressCallback progress_callback = {});

  // Aborts the exchange in progress, if any, by closing its connection on the loop; the
  // blocked Send then throws the error of the step that was pending. False when no
  // exchange was in progress.
  bool Cancel();

  // Starts the loop thread; nothing happens when it runs already.
  void Start();
  // Cancels the current exchange, lets it finish, stops the loop and joins its thread;
  // nothing happens when stopped. Pool and settings are kept for a later Start.
  void Stop();
  bool IsStarted() const { return started_; }

  // Time limits in whole seconds; 0 (or less) means the default, 30 s each. The connect
  // limit covers resolution, connect and the TLS handshake together; the read limit
  // guards every write and read as time without progress.
  ClientSession& SetConnectTimeout(int seconds) {
    connect_timeout_ = seconds;
    return *this;
  }
  ClientSession& SetReadTimeout(int seconds) {
    read_timeout_ = seconds;
    return *this;
  }
  int GetConnectTimeout() const { return connect_timeout_; }
  int GetReadTimeout() const { return read_timeout_; }
  std::size_t GetBufferSize() const { return buffer_size_; }

  // "Content-Type" for requests that carry a non-empty body but no "Content-Type".
  ClientSession& SetContentType(std::string media_type, std::string charset = {});
  const std::string& GetMediaType() const { return media_type_; }
  const std::string& GetCharset() const { return charset_; }

  // Replaces the default "Accept" in place; an empty text changes nothing.
  ClientSession& Accept(std::string_view content_types);
  // Default "Authorization": type, one blank, credentials.
  ClientSession& Auth(std::string_view type, std::string_view credentials);
  ClientSession& AuthBasic(std::string_view login, std::string_view password);
  ClientSession& AuthToken(std::string_view token);

  // The default headers, in the order they are merged into requests.
  const Headers& GetHeaders() const { return headers_; }

  // Whether the TLS context has been created (by the first https request).
  bool HasSslContext() const { return ssl_context_ != nullptr; }

  // Number of pooled connections, as the last Send left them. Never waits.
  std::size_t GetPoolSize() const { return pool_size_; }

 private:
  void InitHeaders();
  std::shared_ptr<ClientBase> CreateClient(const std::string& scheme);
  // Throws Error(kLoopError) when called on the loop thread, where waiting for the loop
  // could only deadlock.
  void RefuseLoopThread(const char* operation);
  // Runs the exchange on `client` once, and once more when it failed in a way that a
  // retry on a new connection may mend.
  Error RunExchange(const std::shared_ptr<ClientBase>& client,
                    const std::shared_ptr<Request>& request, bool stream);
  void CreateSslContext();
  std::shared_ptr<Response> DoSend(const std::shared_ptr<Request>& request, bool stream,
                                   ProgressCallback progress_callback);
  void SetCurrentClient(std::shared_ptr<ClientBase> client);

  // Declared first so that it is destroyed last: everything below refers to it.
  boost::asio::io_context io_context_;
  std::unique_ptr<std::thread> loop_thread_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      work_guard_;
  // Drivers refer to it, so it must outlive the current client and the pool below.
  std::unique_ptr<boost::asio::ssl::context> ssl_context_;
  bool started_ = false;
  std::string media_type_;
  std::string charset_;
  Headers headers_;
  int connect_timeout_ = 0;
  int read_timeout_ = 0;
  std::size_t buffer_size_ = 0;
  ConnectionPool pool_;
  std::atomic<std::size_t> pool_size_{0};
  std::shared_ptr<ClientBase> current_client_;
  // Set while Stop runs: a Send that has not started its exchange yet must not.
  bool stopping_ = false;
  // Set by a Cancel during a Send: a retry must not start after it.
  bool cancelled_ = false;
  // Guards current_client_ and stopping_ alone, so that Cancel never waits for a Send.
  std::mutex current_client_mutex_;
  // Serialises Send (and guards pool_).
  mutable std::mutex mutex_;
};

}  // namespace korvo

#endif  // KORVO_CLIENT_SESSION_H_
