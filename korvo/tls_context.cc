#include "korvo/internal/tls_context.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "korvo/error.h"
#include "korvo/logger.h"

namespace korvo {

namespace {

// Distribution CA bundles, most common first; OpenSSL's own default file comes last.
// SSL_CERT_FILE, which OpenSSL's own default paths honour, goes before them all.
std::vector<std::filesystem::path> SystemBundles() {
  std::vector<std::filesystem::path> bundles;
  const char* chosen = std::getenv(X509_get_default_cert_file_env());
  if (chosen != nullptr && *chosen != '\0') bundles.emplace_back(chosen);
  for (const char* bundle : {"/etc/ssl/certs/ca-certificates.crt",
                             "/etc/pki/tls/certs/ca-bundle.crt"}) {
    bundles.emplace_back(bundle);
  }
  bundles.emplace_back(X509_get_default_cert_file());
  return bundles;
}

// Reads the first of `bundles` that opens into `store`; false when none opens.
bool LoadBundle(X509_STORE* store, const std::vector<std::filesystem::path>& bundles) {
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


// The store of the system's roots, read once; null when no bundle could be opened.
X509_STORE* SystemRootStore() {
  // Parsing the ~150 certificates of a bundle takes tens of milliseconds: every context
  // that trusts the system shares this one store rather than reading its own.
  static X509_STORE* const store = [] {
    X509_STORE* loaded = X509_STORE_new();
    if (loaded != nullptr && !LoadBundle(loaded, SystemBundles())) {
      X509_STORE_free(loaded);
      loaded = nullptr;
    }
    return loaded;
  }();
  return store;
}

// The reason of OpenSSL's first queued error (the cause; later ones only say where it
// surfaced, "PEM lib"), or `fallback`; the error queue is cleared.
std::string OpenSslReason(const char* fallback) {
  unsigned long error = ERR_peek_error();
  ERR_clear_error();
  if (error == 0) return fallback;
  // A failed fopen is queued as the system's error number.
  if (ERR_SYSTEM_ERROR(error)) return std::strerror(ERR_GET_REASON(error));
  const char* reason = ERR_reason_error_string(error);
  return reason != nullptr ? reason : fallback;
}

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path,
                                 const std::string& reason) {
  LOG_ERRO("Cannot load the %s %s (%s)", what.c_str(), path.c_str(), reason.c_str());
  Error error(kFileError, "Cannot read the file");
  error.SetDetail("cannot load the " + what + " " + path + ": " + reason);
  throw error;
}

int PassphraseCallback(char* buffer, int size, int /*rwflag*/, void* user_data) {
  const std::string& passphrase = *static_cast<const std::string*>(user_data);
  if (passphrase.size() > static_cast<std::size_t>(size)) return -1;
  passphrase.copy(buffer, passphrase.size());
  return static_cast<int>(passphrase.size());
}

// Loads the trust anchors and the client certificate of `settings` into `ctx`; the
// system's roots only with `system_roots`.
void Load(SSL_CTX* ctx, const TlsSettings& settings, bool system_roots) {
  if (!settings.ca_file.empty() &&
      SSL_CTX_load_verify_locations(ctx, settings.ca_file.c_str(), nullptr) != 1) {
    ThrowFileError("CA file", settings.ca_file, OpenSslReason("unreadable"));
  }
  if (!settings.ca_path.empty()) {
    std::error_code ec;
    // OpenSSL reads the directory lazily, during a handshake: a wrong path would only
    // show as an untrusted server.
    if (!std::filesystem::is_directory(settings.ca_path, ec)) {
      bool exists = std::filesystem::exists(settings.ca_path, ec);
      ThrowFileError("CA directory", settings.ca_path,
                     exists ? "not a directory" : std::strerror(ENOENT));
    }
    if (SSL_CTX_load_verify_locations(ctx, nullptr, settings.ca_path.c_str()) != 1) {
      ThrowFileError("CA directory", settings.ca_path, OpenSslReason("unreadable"));
    }
  }
  if (system_roots && settings.UsesSystemRoots()) AddSystemRootCertificates(ctx);

  if (settings.cert_file.empty()) return;
  if (SSL_CTX_use_certificate_chain_file(ctx, settings.cert_file.c_str()) != 1) {
    ThrowFileError("client certificate", settings.cert_file, OpenSslReason("unreadable"));
  }
  const std::string& key_file =
      settings.key_file.empty() ? settings.cert_file : settings.key_file;
  // The passphrase is needed while the key is read only; the callback must not outlive
  // the settings it points into.
  SSL_CTX_set_default_passwd_cb(ctx, PassphraseCallback);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<std::string*>(&settings.passphrase));
  int loaded = SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_set_default_passwd_cb(ctx, nullptr);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (loaded != 1) {
    ThrowFileError("client key", key_file, OpenSslReason("unreadable"));
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    ThrowFileError("client key", key_file, "the key does not match the certificate");
  }
}

}  // namespace

namespace {

// Where a context and a connection keep what the new-session callback needs.
int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int PeerIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

constexpr std::size_t TlsContext::kMaxSessions;

TlsContext::TlsContext(bool verify_peer)
    : context_(boost::asio::ssl::context::tls_client), verify_peer_(verify_peer) {
  SSL_CTX* ctx = context_.native_handle();
  // Older versions are broken; the floor is the library's, not the system configuration's.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // A client's own cache, by peer: OpenSSL's internal store is keyed for servers.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_set_ex_data(ctx, ContextIndex(), this);
  SSL_CTX_sess_set_new_cb(ctx, &TlsContext::OnNewSession);
}

TlsContext::~TlsContext() {
  for (auto& entry : sessions_) SSL_SESSION_free(entry.second.first);
}

void TlsContext::PrepareResumption(SSL* ssl, const std::string* peer) {
  SSL_set_ex_data(ssl, PeerIndex(), const_cast<std::string*>(peer));
  SSL_SESSION* session = nullptr;
  {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    auto it = sessions_.find(*peer);
    if (it == sessions_.end()) return;
    session = it->second.first;
    if (SSL_SESSION_get_protocol_version(session) >= TLS1_3_VERSION) {
      // Its ticket is for one connection: this one takes the reference.
      sessions_.erase(it);
    } else {
      SSL_SESSION_up_ref(session);
    }
  }
  SSL_set_session(ssl, session);
  SSL_SESSION_free(session);  // the connection holds its own reference now
}

int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  auto* self = static_cast<TlsContext*>(
      SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
  auto* peer = static_cast<const std::string*>(SSL_get_ex_data(ssl, PeerIndex()));
  // A session that cannot be resumed is not worth keeping.
  if (self == nullptr || peer == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
  self->Keep(*peer, session);
  return 1;
}

void TlsContext::Keep(const std::string& peer, SSL_SESSION* session) {
  std::lock_guard<std::mutex> lock(sessions_mutex_);
  auto it = sessions_.find(peer);
  if (it != sessions_.end()) {
    // The newest ticket replaces the one held: a server may send several, each good.
    SSL_SESSION_free(it->second.first);
    it->second = {session, ++stored_};
    return;
  }
  if (sessions_.size() >= kMaxSessions) {
    auto oldest = sessions_.begin();
    for (auto entry = sessions_.begin(); entry != sessions_.end(); ++entry) {
      if (entry->second.second < oldest->second.second) oldest = entry;
    }
    SSL_SESSION_free(oldest->second.first);
    sessions_.erase(oldest);
  }
  sessions_.emplace(peer, std::make_pair(session, ++stored_));
}

std::shared_ptr<TlsContext> TlsContext::Create(const TlsSettings& settings) {
  std::shared_ptr<TlsContext> tls(new TlsContext(settings.verify_peer));
  Load(tls->context_.native_handle(), settings, true);
  return tls;
}

void CheckTlsSettings(const TlsSettings& settings) {
  if (settings.UsesSystemRoots() && settings.cert_file.empty()) return;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) throw Error(kFileError, "Cannot read the file");
  try {
    Load(ctx, settings, false);
  } catch (...) {
    SSL_CTX_free(ctx);
    throw;
  }
  SSL_CTX_free(ctx);
}

bool AddRootCertificatesFromBundles(SSL_CTX* ssl_ctx,
                                    const std::vector<std::filesystem::path>& bundles) {
  return LoadBundle(SSL_CTX_get_cert_store(ssl_ctx), bundles);
}

bool AddSystemRootCertificates(SSL_CTX* ssl_ctx) {
  // A missing bundle was logged when the store was read.
  X509_STORE* store = SystemRootStore();
  if (store == nullptr) return false;
  SSL_CTX_set1_cert_store(ssl_ctx, store);
  return true;
}

}  // namespace korvo
