// The TLS catalogue: servers on loopback that each get one thing about TLS right or
// wrong, in the manner of badssl.com, for the TLS interoperability suite.
//
// TlsPki::Get() makes a test PKI at test time, once per process (each certificate when
// it is first asked for), so that no key is kept in the repository and no certificate
// expires under the tests. A trusted root ("korvo catalogue root") signs an
// intermediate, which issues the server certificates; the server sends that
// intermediate along (its chain). Keys are P-256 unless the certificate is about the
// key. Every server certificate names one host under
// ".tls.example" (or an address) and is valid now, unless its comment says otherwise:
//   kGood               good.tls.example
//   kExpired            expired.tls.example, ended yesterday
//   kNotYetValid        future.tls.example, valid from tomorrow
//   kCommonNameOnly     cn-only.tls.example as the subject's CN, no subjectAltName
//   kSanOnly            san-only.tls.example as subjectAltName, a subject without CN
//   kWildcard           *.wild.tls.example
//   kTldWildcard        *.example (a wildcard on a top-level domain)
//   kPartialWildcard    w*.tls.example (a wildcard inside a label)
//   kSelfSigned         self-signed.tls.example, its own issuer, no chain
//   kUntrustedRoot      untrusted.tls.example, issued by a root nobody trusts, which
//                       the server sends along
//   kSha1Leaf           sha1.tls.example, signed with SHA-1 by the intermediate
//   kSha1Intermediate   sha1-intermediate.tls.example, by an intermediate that the root
//                       signed with SHA-1
//   kRsa1024            rsa1024.tls.example, an RSA key of 1024 bits
//   kRsa2048            rsa2048.tls.example, an RSA key of 2048 bits (also for DHE)
//   kSni                sni.tls.example, issued by the root itself: s_server sends no
//                       chain with its second certificate
//   kIpAddress          the addresses 127.0.0.1 and ::1 as IP subjectAltNames
//   kIpAsDnsName        "127.0.0.1" as a DNS subjectAltName
//   kIpInCommonName     127.0.0.1 as the subject's CN, no subjectAltName
//   kNameConstrained    ok.nc.tls.example, by an intermediate whose name constraints
//                       permit nc.tls.example and below only
//   kConstraintViolated outside.tls.example, by that same intermediate
//   kClient             a client certificate (clientAuth) from a separate client CA;
//                       its key also comes encrypted with kClientKeyPassphrase
//
// TlsServer runs `openssl s_server -www` with one of them, as TlsServerConfig says, on a
// port of 127.0.0.1 that the kernel chooses. Its files live in a ScratchDir of its own.
// The server is made to offer what a case needs, weak things included (it runs at
// OpenSSL security level 0); what a client accepts is the client's affair.
//
// Thread rules: TlsPki may be used from any thread; a certificate, once made, never
// changes. A TlsServer belongs to the thread that made it.
#ifndef KORVO_TESTS_SUPPORT_TLS_CATALOGUE_H_
#define KORVO_TESTS_SUPPORT_TLS_CATALOGUE_H_

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace korvo {
namespace test {

enum class TlsCert {
  kGood,
  kExpired,
  kNotYetValid,
  kCommonNameOnly,
  kSanOnly,
  kWildcard,
  kTldWildcard,
  kPartialWildcard,
  kSelfSigned,
  kUntrustedRoot,
  kSha1Leaf,
  kSha1Intermediate,
  kRsa1024,
  kRsa2048,
  kSni,
  kIpAddress,
  kIpAsDnsName,
  kIpInCommonName,
  kNameConstrained,
  kConstraintViolated,
  kClient,
};

// A certificate, its private key and the certificates its holder sends after it (the
// issuer first; empty when the holder sends none), all PEM.
struct TlsIdentity {
  std::string cert_pem;
  std::string key_pem;
  std::string chain_pem;
};

class TlsPki {
 public:
  static constexpr const char* kClientKeyPassphrase = "catalogue passphrase";

  static const TlsPki& Get();

  // Made on first use: an RSA key takes a good part of a second.
  const TlsIdentity& Identity(TlsCert cert) const;
  // The root a client trusts, and the file name under which an OpenSSL hashed
  // directory holds it ("<subject hash>.0").
  const std::string& root_pem() const { return root_pem_; }
  const std::string& root_hashed_name() const { return root_hashed_name_; }
  // The issuer of kClient, which a server that asks for client certificates trusts.
  const std::string& client_ca_pem() const { return client_ca_pem_; }
  // kClient's key, encrypted (PKCS #8, AES-256) with kClientKeyPassphrase.
  const std::string& encrypted_client_key_pem() const { return encrypted_client_key_pem_; }
  // DH parameters of the 1024-bit group of RFC 2409 (generating a group of one's own
  // would take seconds).
  const std::string& dh1024_pem() const { return dh1024_pem_; }

 private:
  struct Authorities;  // the issuers' keys and certificates

  TlsPki();
  ~TlsPki();
  TlsIdentity Make(TlsCert cert) const;

  std::unique_ptr<Authorities> authorities_;
  std::string root_pem_;
  std::string root_hashed_name_;
  std::string client_ca_pem_;
  std::string encrypted_client_key_pem_;
  std::string dh1024_pem_;
  mutable std::mutex mutex_;  // guards identities_, whose entries never change once made
  mutable std::map<TlsCert, TlsIdentity> identities_;
};

enum class TlsClientAuth {
  kNone,      // no certificate asked for
  kOptional,  // asked for; the handshake goes on without one (s_server -verify)
  kRequired,  // asked for; the handshake fails without one (s_server -Verify)
};

// What a TlsServer serves and how. The setters return the object, so that a table of
// cases can say it in one expression.
struct TlsServerConfig {
  TlsCert cert = TlsCert::kGood;
  bool send_chain = true;
  // With a server name, a client that indicates it gets `sni_cert` instead.
  std::string sni_name;
  std::optional<TlsCert> sni_cert;
  TlsClientAuth client_auth = TlsClientAuth::kNone;
  bool weak_dh = false;
  // More s_server options (protocol versions, ciphers, signature algorithms). A
  // "-cipher" here replaces the default "DEFAULT:@SECLEVEL=0".
  std::vector<std::string> options;

  // The leaf alone, its issuer left out.
  TlsServerConfig& LeafOnly() {
    send_chain = false;
    return *this;
  }
  TlsServerConfig& Sni(std::string name, TlsCert second) {
    sni_name = std::move(name);
    sni_cert = second;
    return *this;
  }
  TlsServerConfig& AskClientCert(TlsClientAuth mode) {
    client_auth = mode;
    return *this;
  }
  // DHE with the 1024-bit group of TlsPki::dh1024_pem().
  TlsServerConfig& WeakDh() {
    weak_dh = true;
    return *this;
  }
  TlsServerConfig& Options(std::vector<std::string> more) {
    options.insert(options.end(), more.begin(), more.end());
    return *this;
  }
};

inline TlsServerConfig Serve(TlsCert cert) {
  TlsServerConfig config;
  config.cert = cert;
  return config;
}

// `openssl s_server -www` on 127.0.0.1: answers "GET /" with an HTTP/1.0 status page (a
// description of the session, the client's certificate included) and closes the
// connection. It serves one connection at a time, and goes on after a failed handshake.
class TlsServer {
 public:
  TlsServer() = default;
  ~TlsServer() { Stop(); }

  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // Returns once the server listens; false with `error` when it cannot start.
  bool Start(const TlsServerConfig& config, std::string* error);
  // Ends the server and reaps it; its files go with the object.
  void Stop() { process_.Stop(); }

  unsigned short port() const { return port_; }
  // The last few KiB of what s_server wrote, to explain a failure.
  std::string OutputTail() const { return process_.OutputTail(); }

 private:
  // Declared first, so that the server has ended before its files go.
  ScratchDir dir_{"korvo_tls_"};
  ServerProcess process_;
  unsigned short port_ = 0;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_TLS_CATALOGUE_H_
