#include "korvo/internal/connection_pool.h"

#include <string_view>
#include <tuple>
#include <utility>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "korvo/logger.h"

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

}  // namespace korvo
