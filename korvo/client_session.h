// ClientSession: the object through which a program sends HTTP requests.
//
// A session owns an event loop and the one thread that runs it, merges its default
// headers and default content type into every request, speaks plain TCP or TLS as the
// URL's scheme says, keeps connections that the server left open (per scheme, host and
// port) and turns the outcome of an exchange into a Response or a thrown Error. Send
// blocks the calling thread while the exchange runs on the loop thread. The loop, the
// TLS context and the pool live in a private implementation.
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

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "korvo/common.h"
#include "korvo/progress.h"
#include "korvo/request.h"
#include "korvo/response.h"

namespace korvo {

class ClientSession {
 public:
  // `buffer_size` is the read-buffer size of every connection; 0 keeps the default
  // (1024 bytes). Starts the loop thread.
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
  // than http or https, otherwise the error of the exchange.
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
  bool IsStarted() const;

  // Time limits in whole seconds; 0 (or less) means the default, 30 s each. The connect
  // limit covers resolution, connect and the TLS handshake together; the read limit
  // guards every write and read as time without progress.
  ClientSession& SetConnectTimeout(int seconds);
  ClientSession& SetReadTimeout(int seconds);
  int GetConnectTimeout() const;
  int GetReadTimeout() const;
  std::size_t GetBufferSize() const;

  // "Content-Type" for requests that carry a non-empty body but no "Content-Type".
  ClientSession& SetContentType(std::string media_type, std::string charset = {});
  const std::string& GetMediaType() const;
  const std::string& GetCharset() const;

  // Replaces the default "Accept" in place; an empty text changes nothing.
  ClientSession& Accept(std::string_view content_types);
  // Default "Authorization": type, one blank, credentials.
  ClientSession& Auth(std::string_view type, std::string_view credentials);
  ClientSession& AuthBasic(std::string_view login, std::string_view password);
  ClientSession& AuthToken(std::string_view token);

  // The default headers, in the order they are merged into requests.
  const Headers& GetHeaders() const;

  // Whether the TLS context has been created (by the first https request).
  bool HasSslContext() const;

  // Number of pooled connections, as the last Send left them. Never waits.
  std::size_t GetPoolSize() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvo

#endif  // KORVO_CLIENT_SESSION_H_
