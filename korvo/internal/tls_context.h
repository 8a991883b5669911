// TLS contexts: the client settings of a session's HTTPS connections, and the system's
// root certificates that they trust by default.
//
// TlsSettings are what a user chooses (whose certificates to trust, a client
// certificate, whether to verify at all); TlsContext is an OpenSSL context made from
// them once, shared by every connection made under those settings, and kept alive by
// each of them (a session that changes its settings makes a new context while pooled
// connections still use the old one).
//
// The system's roots are read from the distribution's CA bundle once per process into
// one certificate store, which every context that trusts them shares (OpenSSL counts
// its references and locks it).
//
// A TlsContext also keeps the sessions its connections' servers handed out, one per
// peer ("host:port"), so that the next connection to that peer resumes instead of
// running a full handshake. A TLS 1.3 session is taken out when it is used (its
// ticket is meant for one connection; the server sends fresh ones); a TLS 1.2 session
// stays. Sessions live with the context, so none is resumed under other settings.
//
// Thread rules: a TlsContext's settings are immutable once created, and its session
// store is locked; any thread may make connections with it. The functions here may
// be called from any thread.
#ifndef KORVO_INTERNAL_TLS_CONTEXT_H_
#define KORVO_INTERNAL_TLS_CONTEXT_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>

namespace korvo {

struct TlsSettings {
  std::string ca_file;  // PEM certificates to trust instead of the system's roots
  std::string ca_path;  // a directory in OpenSSL's hashed layout, likewise
  std::string cert_file;  // the client certificate (PEM, may hold its chain)
  std::string key_file;
  std::string passphrase;  // of an encrypted key
  bool verify_peer = true;

  // Whether the system's roots are trusted (no file and no directory of one's own).
  bool UsesSystemRoots() const { return ca_file.empty() && ca_path.empty(); }
};

class TlsContext {
 public:
  // Throws Error(kFileError, "Cannot read the file") with a detail when a file of the
  // settings cannot be loaded or the key does not match the certificate.
  static std::shared_ptr<TlsContext> Create(const TlsSettings& settings);

  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  ~TlsContext();

  boost::asio::ssl::context& context() { return context_; }
  bool verify_peer() const { return verify_peer_; }

  // Before the handshake of `ssl` (made from this context) with `peer` ("host:port"):
  // offers the session kept for that peer, if any, and has the sessions the server
  // hands out on this connection kept for it. `peer` must outlive `ssl`.
  void PrepareResumption(SSL* ssl, const std::string* peer);

  // A bound on the sessions kept: one per peer; beyond it the oldest goes.
  static constexpr std::size_t kMaxSessions = 256;

 private:
  explicit TlsContext(bool verify_peer);
  // OpenSSL's new-session callback; takes the reference to `session` when kept.
  static int OnNewSession(SSL* ssl, SSL_SESSION* session);
  void Keep(const std::string& peer, SSL_SESSION* session);

  boost::asio::ssl::context context_;
  bool verify_peer_;
  std::mutex sessions_mutex_;
  // By peer, each with the order it was stored in, for eviction.
  std::map<std::string, std::pair<SSL_SESSION*, std::uint64_t>> sessions_;
  std::uint64_t stored_ = 0;
};

// Checks what TlsContext::Create would load, without making a context: the CA file is
// parsed, the CA directory must exist, the client certificate and key must load and
// match. Throws as Create does.
void CheckTlsSettings(const TlsSettings& settings);

// Makes `ssl_ctx` trust the system's root certificates: the process's shared store,
// read on first use from the distribution's CA bundle (SSL_CERT_FILE, when set, names
// the bundle instead). False when no bundle could be opened (logged as an error once).
bool AddSystemRootCertificates(SSL_CTX* ssl_ctx);

// Reads the first of `bundles` that opens and adds each PEM certificate in it to the
// store of `ssl_ctx`; blocks that do not decode are skipped. False, with the same record,
// when none opens. The loader behind the shared store, for a store of one's own.
bool AddRootCertificatesFromBundles(SSL_CTX* ssl_ctx,
                                    const std::vector<std::filesystem::path>& bundles);

}  // namespace korvo

#endif  // KORVO_INTERNAL_TLS_CONTEXT_H_
