// ClientSession: the object through which a program sends HTTP requests.
//
// A session owns an event loop and the one thread that runs it, merges its default
// headers and default content type into every request, speaks plain TCP or TLS as the
// URL's scheme says, keeps connections that the server left open (several per scheme,
// host and port, within limits) and turns the outcome of an exchange into a Response
// or a thrown Error. Send
// blocks the calling thread while the exchange runs on the loop thread; SendAsync
// returns a future at once, and the loop runs many such exchanges side by side. The loop, the
// TLS context and the pool live in a private implementation.
//
// A request that fails on a kept connection before any byte of its response arrived
// (the server closed the idle connection just as it was reused) is sent once more on a
// new connection when its method is idempotent; a WARN record says so.
//
// Thread rules: Send may be called from any number of threads; blocking sends are
// serialised, while SendAsync runs any number of exchanges at once, beside them.
// SendAsync, Cancel and GetPoolSize may be called from any thread (SendAsync also on
// the loop thread), Cancel typically while another thread is blocked in Send. Start, Stop and destruction belong to the thread that owns
// the session. The loop thread (a callback such as the progress callback) must not
// wait for itself: Send, Start and Stop called there throw Error(kLoopError), and
// destroying the session there is not allowed. The settings are plain values: change
// them while no other thread uses the session.
#ifndef KORVO_CLIENT_SESSION_H_
#define KORVO_CLIENT_SESSION_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <string_view>

#include "korvo/common.h"
#include "korvo/cookie_jar.h"
#include "korvo/http_version.h"
#include "korvo/progress.h"
#include "korvo/request.h"
#include "korvo/response.h"
#include "korvo/send_options.h"

namespace korvo {

namespace detail {
class SessionImpl;  // the loop, the TLS context and the pool, inside the library
}  // namespace detail

class ClientSession {
 public:
  // `buffer_size` is the read-buffer size of every connection; 0 keeps the default
  // (1024 bytes). A body streamed to a file is read straight into the file's own 64 KiB
  // buffer instead. Starts the loop thread.
  explicit ClientSession(std::size_t buffer_size = 0);
  // Stops the session, then closes the pooled connections.
  ~ClientSession();

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Completes `request` in place (default headers, default content type, request line
  // and "Host"), runs the exchange and returns the response. The completion follows
  // this session and the request as it is now: fields an earlier send added from
  // another session's defaults are replaced by this session's (or removed), fields the
  // caller set stay, and a request whose method or URL changed since it was last sent
  // gets a new request line and "Host".
  //
  // `options` says what this request asks beyond the session's settings: a file or a
  // sink for the body, progress callbacks that can stop the transfer, time limits, a
  // size limit, a cancel token (see SendOptions). A callback that returns false ends the
  // exchange as Cancel does: the Error thrown has cancelled() true. Throws Error:
  // kLoopError "Loop is not running" when stopped, kRequestError for a URL without host
  // or with a scheme other than http or https, otherwise the error of the exchange.
  std::shared_ptr<Response> Send(std::shared_ptr<Request> request,
                                 const SendOptions& options = {});
  // The older form, kept for the programs that use it: `stream` is SendOptions::stream,
  // and `progress_callback` a progress report that cannot stop the transfer.
  std::shared_ptr<Response> Send(std::shared_ptr<Request> request, bool stream,
                                 ProgressCallback progress_callback = {});

  // Sends `request` beside any other exchanges of the session and returns at once. The
  // exchange runs on the loop thread over a connection of its own (a pooled one or a
  // new one, within the limits below; beyond them it waits in order, its time limit
  // running); everything Send does applies: streaming, sinks, progress, time limits,
  // redirects, decoding, TLS settings, the retry on a stale connection. The future
  // holds the response or the Error (kLoopError "Loop is not running" when stopped).
  // options.cancel ends it from any thread; Stop and destruction end it with an Error
  // whose cancelled() is true. The request is completed in place as by Send: do not
  // send one request object twice at once.
  std::future<std::shared_ptr<Response>> SendAsync(std::shared_ptr<Request> request,
                                                   SendOptions options = {});

  // Aborts the Send in progress, if any: its exchange ends by closing its connection on
  // the loop, and the blocked Send throws the error of the step that was pending, with
  // cancelled() true and detail() "Cancelled (host:port)". A Send cancelled before (or
  // between the redirects of) its exchange throws kConnectError the same way. False
  // when no Send was in progress.
  bool Cancel();

  // Starts the loop thread; nothing happens when it runs already.
  void Start();
  // Ends every exchange in flight (each fails with cancelled() true; none waits for a
  // server), stops the loop and joins its thread; nothing happens when stopped. Pool
  // and settings are kept for a later Start.
  void Stop();
  bool IsStarted() const;

  // Time limits of the steps; 0 (or less) means the default, 30 s each. The connect
  // limit covers resolution, connect and the TLS handshake together; the read limit
  // guards every write and read as time without progress, so a server that trickles
  // a byte now and then is not stopped by it: SetTimeout is.
  ClientSession& SetConnectTimeout(std::chrono::milliseconds limit);
  ClientSession& SetReadTimeout(std::chrono::milliseconds limit);
  ClientSession& SetConnectTimeout(int seconds);
  ClientSession& SetReadTimeout(int seconds);
  // The limits that apply (the default when none was set).
  std::chrono::milliseconds GetConnectTimeoutMs() const;
  std::chrono::milliseconds GetReadTimeoutMs() const;
  // The same in whole seconds, rounded up: a 500 ms limit reads 1, never 0.
  int GetConnectTimeout() const;
  int GetReadTimeout() const;
  // A limit for the whole of every exchange, from resolution to the last byte (redirects,
  // the wait for a connection and the retry included), beside the limits of the steps;
  // 0 (the default): none. SendOptions::timeout sets it for one request.
  ClientSession& SetTimeout(std::chrono::milliseconds limit);
  std::chrono::milliseconds GetTimeout() const;
  std::size_t GetBufferSize() const;

  // "Content-Type" for requests that carry a non-empty body but no "Content-Type".
  ClientSession& SetContentType(std::string media_type, std::string charset = {});
  const std::string& GetMediaType() const;
  const std::string& GetCharset() const;

  // Default fields, added to every request that does not set them itself. SetHeader
  // replaces a default in place or appends a new one; an empty value removes it, as a
  // field without a value is never sent. A name or value that could break the request's
  // head (a line break, NUL, a colon or blank in the name), "Host" (always the URL's)
  // and "Transfer-Encoding" (korvo frames bodies itself) throw
  // Error(kRequestError, "Invalid header field") with the field in detail().
  ClientSession& SetHeader(std::string_view name, std::string_view value);
  // Removes a default field, one of the four built in too; false when there was none.
  bool RemoveHeader(std::string_view name);
  // Replaces the default "Accept" in place; an empty text changes nothing. Checked as
  // SetHeader checks, as are the authorization setters below.
  ClientSession& Accept(std::string_view content_types);
  // Default "Authorization": type, one blank, credentials.
  ClientSession& Auth(std::string_view type, std::string_view credentials);
  ClientSession& AuthBasic(std::string_view login, std::string_view password);
  // "Authorization: Bearer <token>", what OAuth 2.0 servers and most APIs expect.
  ClientSession& AuthBearer(std::string_view token);
  // "Authorization: Token <token>", the scheme some APIs use instead of Bearer.
  ClientSession& AuthToken(std::string_view token);

  // The default headers, in the order they are merged into requests.
  const Headers& GetHeaders() const;

  // TLS settings. Each takes effect for connections made after the call; connections
  // pooled under the settings before are closed, not reused. Files are loaded at once:
  // one that cannot be read, or a key that does not match its certificate, throws
  // Error(kFileError, "Cannot read the file") with the reason in detail(), and the
  // settings stay as they were.
  //
  // Trust the PEM certificates in `path` instead of the system's roots; "" returns to
  // the system's roots (unless a CA directory is set).
  ClientSession& SetCaFile(std::string path);
  // The same for a directory in OpenSSL's hashed layout (c_rehash / openssl rehash).
  ClientSession& SetCaPath(std::string directory);
  // Present this certificate (PEM, optionally followed by its intermediates) when a
  // server asks for one. `key_file` may be encrypted with `passphrase`; an empty
  // `key_file` reads the key from `cert_file`. An empty `cert_file` presents none.
  ClientSession& SetClientCertificate(std::string cert_file, std::string key_file = {},
                                      std::string passphrase = {});
  // false: neither the certificate nor the host name is checked, so anyone on the path
  // can read and change the traffic. For throwaway test servers only; every such
  // connection logs WARN "Certificate verification is off". Default true.
  ClientSession& SetVerifyPeer(bool verify);

  // Requests to `host` and `port` connect to `address` (IPv4 or IPv6) without a lookup,
  // while server-name indication, the certificate check and "Host" still name `host`.
  // An empty `address` removes the entry. Throws Error(kRequestError, "Invalid address")
  // when `address` is not an IP address.
  ClientSession& SetResolve(std::string host, std::uint16_t port, std::string address);

  // Routes. Like the TLS settings, each takes effect for connections made after the
  // call, and pooled connections are keyed by their route as well as their origin.
  //
  // Every request goes through the proxy at `url`: "http://" (requests to http origins
  // in absolute form, https origins through a CONNECT tunnel), "https://" (the same
  // over TLS to the proxy, verified under this session's TLS settings), "socks5://"
  // (origin names resolved here) or "socks5h://" (resolved by the proxy); a text
  // without a scheme is an http proxy. "user:password@" (percent-encoded) gives the
  // credentials, sent to the proxy only: "Proxy-Authorization: Basic" for HTTP
  // proxies, user/password for SOCKS5. Loopback destinations go through it too. An
  // empty text turns proxies off, the environment's too. Throws
  // Error(kRequestError, "Invalid proxy") for a text that is not a proxy URL (the
  // detail never quotes the credentials). A proxy that fails the connection or the
  // tunnel fails the exchange with kConnectError, its detail naming the proxy.
  ClientSession& SetProxy(std::string url);
  // Hosts that bypass the proxy, comma-separated: a name matches itself and its
  // subdomains (a leading dot optional), "*" matches every host, IP addresses and CIDR
  // ranges match hosts written as addresses in the URL; an entry may end in ":port".
  // Replaces the environment's list (its proxies stay).
  ClientSession& SetNoProxy(std::string list);
  // The environment is read when the session is made: http_proxy (lower case only),
  // https_proxy, all_proxy and no_proxy (lower case, then upper case). Loopback
  // destinations (localhost, 127.0.0.0/8, [::1]) never take a proxy from it. A
  // variable that is not a usable proxy URL is ignored with one WARN record. false
  // forgets what was read; true reads it again. Settings made by calls win over it.
  ClientSession& SetProxyFromEnvironment(bool use);
  // Every request connects to this Unix-domain stream socket instead of a TCP address
  // (the URL still gives "Host", the target and, for https, the name TLS verifies);
  // proxies are not used then. An empty text turns it off.
  ClientSession& SetUnixSocket(std::string path);

  // The HTTP the session's new connections speak (see HttpVersion; default kHttp1).
  // With HTTP/2, exchanges to one origin share a connection, up to the streams the
  // server allows at once (100 at most); while the first connection to an origin is
  // being made, the exchanges that follow wait for it instead of opening their own.
  // Each stream receives at most 1 MiB ahead of its body's consumer, a connection
  // 16 MiB in all. Connections already open keep what they speak.
  ClientSession& SetHttpVersion(HttpVersion version);
  HttpVersion GetHttpVersion() const;

  // Redirects: up to `max_hops` are followed (0, the default, follows none). 301 and 302
  // turn a POST into a GET without body, 303 every method but HEAD; 307 and 308 send
  // the same request again, body included. The Location is resolved against the URL
  // that answered. The body of a redirect that is followed is dropped as it arrives
  // (no sink, file or progress sees it); one longer than 1 MiB is not read at all, its
  // connection closed instead. Across origins (scheme, host or port) "Authorization",
  // "Cookie" and "Proxy-Authorization" are not sent on; a hop from https to http throws
  // Error(kRequestError, "Insecure redirect") unless `allow_downgrade`. One hop more
  // than allowed throws Error(kRequestError, "Too many redirects"); a redirect without a
  // usable Location is returned as it is. Response::GetUrl and GetRedirectCount say
  // where the answer came from; progress is reported for the final response only.
  ClientSession& SetFollowRedirects(int max_hops, bool allow_downgrade = false);
  int GetMaxRedirects() const;

  // Content decoding: with `decompress`, requests ask for "gzip, deflate, br, zstd"
  // (unless they set "Accept-Encoding" themselves) and a body in one of these codings
  // is decoded as it arrives, in memory or into the streamed file; IsCompressed() is
  // then false, and "Content-Encoding" still says what was received. A corrupt stream
  // fails with Error(kParseError, "Response parse error"), its detail naming the coding.
  ClientSession& SetDecompress(bool decompress);
  bool GetDecompress() const;
  // The largest decoded body accepted; beyond it the exchange fails with
  // Error(kReadError, "Response body too large"). 0: unlimited. Default: 1 GiB in
  // memory, unlimited when streamed to a file.
  ClientSession& SetMaxDecodedSize(std::uint64_t bytes);
  // The limit set, or when none was, the default for bodies held in memory (1 GiB).
  std::uint64_t GetMaxDecodedSize() const;

  // Cookies: with a jar, every response's "Set-Cookie" fields are stored in it and
  // every request (each redirect hop for its own URL) carries the jar's matching
  // cookies in one "Cookie" field, unless the request sets "Cookie" itself. A jar may
  // be shared by several sessions. Null, the default: no cookies are kept.
  ClientSession& SetCookieJar(std::shared_ptr<CookieJar> jar);
  const std::shared_ptr<CookieJar>& GetCookieJar() const;

  // Whether the TLS context has been created (by the first https request).
  bool HasSslContext() const;

  // Number of idle pooled connections, as the last exchange left them. Never waits.
  std::size_t GetPoolSize() const;

  // Limits on the connections open at once (busy and idle): to one scheme, host and
  // port (default 6), and in all (default 64); 0 is taken as 1. Exchanges beyond them
  // wait in order for a connection to free.
  ClientSession& SetMaxConnectionsPerHost(std::size_t limit);
  ClientSession& SetMaxConnections(std::size_t limit);
  std::size_t GetMaxConnectionsPerHost() const;
  std::size_t GetMaxConnections() const;

 private:
  std::unique_ptr<detail::SessionImpl> impl_;
};

}  // namespace korvo

#endif  // KORVO_CLIENT_SESSION_H_
