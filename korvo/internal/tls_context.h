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
// Thread rules: a TlsContext is immutable once created; any thread may make
// connections with it. The functions here may be called from any thread.
#ifndef KORVO_INTERNAL_TLS_CONTEXT_H_
#define KORVO_INTERNAL_TLS_CONTEXT_H_

#include <filesystem>
#include <memory>
#include <string>
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

  boost::asio::ssl::context& context() { return context_; }
  bool verify_peer() const { return verify_peer_; }

 private:
  explicit TlsContext(bool verify_peer);

  boost::asio::ssl::context context_;
  bool verify_peer_;
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
