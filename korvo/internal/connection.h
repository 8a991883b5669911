// Connection: what the scheduler runs exchanges on. An HTTP/1.1 connection (ClientBase)
// carries one exchange at a time; an HTTP/2 connection (Http2Connection) carries many
// at once, each on a stream of its own. Either way an exchange's hop is started with
// StartHop and ends with one call of its handler, on the loop thread, with a HopOutcome.
//
// Thread rules: every member runs on the session's loop thread, except Close, which may
// be called from any thread (it is then carried out on the loop).
#ifndef KORVO_INTERNAL_CONNECTION_H_
#define KORVO_INTERNAL_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "korvo/error.h"
#include "korvo/http_version.h"
#include "korvo/internal/proxy.h"
#include "korvo/internal/socket.h"
#include "korvo/response.h"
#include "korvo/url.h"

namespace korvo {

struct HopOptions;
class Request;

// How a hop ended.
struct HopOutcome {
  // The response, when `error` is kNoError and the hop was not handed on.
  std::shared_ptr<Response> response;
  Error error;
  // The request may not have reached the server over a connection that was reused:
  // an idempotent one may be sent again on a new connection.
  bool can_retry = false;
  // The server has not processed the request (an HTTP/2 stream it refused, or one it
  // never accepted): it may be sent again whatever its method.
  bool refused = false;
  // The connection was made for this hop and its server chose HTTP/2: the connected
  // socket, for an HTTP/2 connection to carry this hop and the ones that follow.
  std::unique_ptr<SocketBase> http2_socket;
};

class Connection {
 public:
  using HopDone = std::function<void(HopOutcome)>;

  virtual ~Connection() = default;

  // Starts a hop for the prepared `request` under `options`; `done` runs once it has
  // ended (perhaps before StartHop returns, when the request cannot be sent at all).
  // Returns the hop's number on this connection, for CancelHop.
  virtual std::uint64_t StartHop(std::shared_ptr<Request> request, HopOptions options,
                                 HopDone done) = 0;
  // Ends hop `hop` as cancelled, if it has not ended; the others go on.
  virtual void CancelHop(std::uint64_t hop) = 0;
  // Closes the connection; hops in progress end with a failure.
  virtual void Close() = 0;
  // Between hops: closes the connection if its server has closed it meanwhile.
  virtual void CloseIfDead() = 0;

  // How many more hops it can take on now.
  virtual std::size_t SpareCapacity() const = 0;
  // Whether it may carry more hops once its current ones have ended.
  virtual bool IsReusable() const = 0;
  // It has closed (or was never made) and can carry nothing more.
  virtual bool IsGone() const = 0;
  // It carries several hops at once, and is shared rather than handed out whole.
  virtual bool IsMultiplexed() const { return false; }
  // Hops in progress.
  virtual std::size_t ActiveHops() const = 0;
};

// Whether a connection to `url` by `route` may end up speaking HTTP/2 under `version`:
// over TLS when the server picks it, on cleartext only by prior knowledge, and never
// to an HTTP proxy that takes the request in absolute form.
bool MayUseHttp2(const Url& url, const Route& route, HttpVersion version);

}  // namespace korvo

#endif  // KORVO_INTERNAL_CONNECTION_H_
