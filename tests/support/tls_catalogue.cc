#include "support/tls_catalogue.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "korvo/internal/utility.h"

namespace korvo {
namespace test {

namespace fs = std::filesystem;

namespace {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("TLS catalogue PKI: ") + what);
}

enum class KeyType { kP256, kRsa1024, kRsa2048 };

Key NewKey(KeyType type) {
  EVP_PKEY* key = nullptr;
  switch (type) {
    case KeyType::kP256:
      key = EVP_EC_gen("P-256");
      break;
    case KeyType::kRsa1024:
      key = EVP_RSA_gen(1024);
      break;
    case KeyType::kRsa2048:
      key = EVP_RSA_gen(2048);
      break;
  }
  Check(key != nullptr, "key generation");
  return Key(key);
}

std::string EncryptedKeyPem(EVP_PKEY* key, const char* passphrase) {
  Bio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_PKCS8PrivateKey(bio.get(), key, EVP_aes_256_cbc(), passphrase,
                                      static_cast<int>(std::string(passphrase).size()),
                                      nullptr, nullptr) == 1,
        "encrypted key PEM");
  return BioText(bio.get());
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(extension != nullptr, value);
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

enum class Role { kCa, kServer, kClient };

// What a certificate says; the defaults make a well-formed server certificate.
struct Spec {
  Role role = Role::kServer;
  std::string common_name;  // empty: a subject without CN
  std::string alt_names;    // empty: no subjectAltName
  std::string name_constraints;
  long not_before_days = -1;
  long not_after_days = 365;
  const EVP_MD* digest = EVP_sha256();
  KeyType key_type = KeyType::kP256;
};

struct Holder {
  Key key;
  Cert cert;
};

// Issues a certificate as `spec` says; a null issuer makes it self-signed.
Holder Issue(const Spec& spec, const Holder* issuer) {
  static long serial = 1;
  Holder holder;
  holder.key = NewKey(spec.key_type);
  holder.cert.reset(X509_new());
  X509* cert = holder.cert.get();
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.not_before_days * 24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.not_after_days * 24 * 3600);
  X509_set_pubkey(cert, holder.key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("korvo tests"), -1, -1, 0);
  if (!spec.common_name.empty()) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(spec.common_name.c_str()),
                               -1, -1, 0);
  }
  X509* signer = issuer != nullptr ? issuer->cert.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
  if (spec.role == Role::kCa) {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
    // RSA key exchange is never used (TLS 1.2 with ECDHE or DHE, or TLS 1.3): a
    // signature key is all any of them needs.
    AddExtension(cert, signer, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert, signer, NID_ext_key_usage,
                 spec.role == Role::kServer ? "serverAuth" : "clientAuth");
  }
  if (!spec.alt_names.empty()) {
    AddExtension(cert, signer, NID_subject_alt_name, spec.alt_names.c_str());
  }
  if (!spec.name_constraints.empty()) {
    AddExtension(cert, signer, NID_name_constraints, spec.name_constraints.c_str());
  }
  EVP_PKEY* signing_key = issuer != nullptr ? issuer->key.get() : holder.key.get();
  Check(X509_sign(cert, signing_key, spec.digest) > 0, "signing");
  return holder;
}

Spec Ca(const char* common_name) {
  Spec spec;
  spec.role = Role::kCa;
  spec.common_name = common_name;
  spec.not_after_days = 3650;
  return spec;
}

// A server certificate for `dns_name`, which is also its CN, as public CAs still do.
Spec Server(const std::string& dns_name) {
  Spec spec;
  spec.common_name = dns_name;
  spec.alt_names = "DNS:" + dns_name;
  return spec;
}

TlsIdentity ToIdentity(const Holder& holder, std::string chain_pem) {
  return TlsIdentity{CertPem(holder.cert.get()), KeyPem(holder.key.get()),
                     std::move(chain_pem)};
}

std::string Dh1024Pem() {
  Bn p(BN_get_rfc2409_prime_1024(nullptr));
  Bn g(BN_new());
  Check(p != nullptr && g != nullptr && BN_set_word(g.get(), 2) == 1, "DH numbers");
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  Check(build != nullptr, "OSSL_PARAM_BLD_new");
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_P, p.get());
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_FFC_G, g.get());
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
  OSSL_PARAM_BLD_free(build);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
  EVP_PKEY* parameters = nullptr;
  bool made = params != nullptr && context != nullptr && EVP_PKEY_fromdata_init(context) == 1 &&
              EVP_PKEY_fromdata(context, &parameters, EVP_PKEY_KEY_PARAMETERS, params) == 1;
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  Key owned(parameters);
  Check(made, "DH parameters");
  Bio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_Parameters(bio.get(), owned.get()) == 1, "DH parameters PEM");
  return BioText(bio.get());
}

}  // namespace

struct TlsPki::Authorities {
  Holder root;
  Holder intermediate;
  Holder sha1_intermediate;
  Holder constrained;
  Holder untrusted_root;
};

TlsPki::TlsPki() : authorities_(new Authorities) {
  Authorities& a = *authorities_;
  a.root = Issue(Ca("korvo catalogue root"), nullptr);
  a.intermediate = Issue(Ca("korvo catalogue intermediate"), &a.root);
  Spec sha1 = Ca("korvo catalogue SHA-1 intermediate");
  sha1.digest = EVP_sha1();
  a.sha1_intermediate = Issue(sha1, &a.root);
  Spec constrained = Ca("korvo catalogue constrained intermediate");
  constrained.name_constraints = "critical,permitted;DNS:nc.tls.example";
  a.constrained = Issue(constrained, &a.root);
  a.untrusted_root = Issue(Ca("korvo catalogue untrusted root"), nullptr);

  root_pem_ = CertPem(a.root.cert.get());
  int hashed = 0;
  unsigned long hash =
      X509_NAME_hash_ex(X509_get_subject_name(a.root.cert.get()), nullptr, nullptr, &hashed);
  Check(hashed == 1, "subject hash");
  char hashed_name[32];
  std::snprintf(hashed_name, sizeof(hashed_name), "%08lx.0", hash);
  root_hashed_name_ = hashed_name;

  Holder client_ca = Issue(Ca("korvo catalogue client CA"), nullptr);
  client_ca_pem_ = CertPem(client_ca.cert.get());
  Spec client;
  client.role = Role::kClient;
  client.common_name = "korvo catalogue client";
  Holder client_holder = Issue(client, &client_ca);
  identities_[TlsCert::kClient] = ToIdentity(client_holder, "");
  encrypted_client_key_pem_ = EncryptedKeyPem(client_holder.key.get(), kClientKeyPassphrase);
  dh1024_pem_ = Dh1024Pem();
}

TlsPki::~TlsPki() = default;

const TlsPki& TlsPki::Get() {
  static const TlsPki pki;
  return pki;
}

const TlsIdentity& TlsPki::Identity(TlsCert cert) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = identities_.find(cert);
  if (found == identities_.end()) found = identities_.emplace(cert, Make(cert)).first;
  return found->second;
}

TlsIdentity TlsPki::Make(TlsCert cert) const {
  const Authorities& a = *authorities_;
  const std::string chain = CertPem(a.intermediate.cert.get());
  auto by_intermediate = [&](const Spec& spec) {
    return ToIdentity(Issue(spec, &a.intermediate), chain);
  };
  Spec spec;
  switch (cert) {
    case TlsCert::kGood:
      return by_intermediate(Server("good.tls.example"));
    case TlsCert::kExpired:
      spec = Server("expired.tls.example");
      spec.not_before_days = -30;
      spec.not_after_days = -1;
      return by_intermediate(spec);
    case TlsCert::kNotYetValid:
      spec = Server("future.tls.example");
      spec.not_before_days = 1;
      spec.not_after_days = 30;
      return by_intermediate(spec);
    case TlsCert::kCommonNameOnly:
      spec = Server("cn-only.tls.example");
      spec.alt_names.clear();
      return by_intermediate(spec);
    case TlsCert::kSanOnly:
      spec = Server("san-only.tls.example");
      spec.common_name.clear();
      return by_intermediate(spec);
    case TlsCert::kWildcard:
      return by_intermediate(Server("*.wild.tls.example"));
    case TlsCert::kTldWildcard:
      return by_intermediate(Server("*.example"));
    case TlsCert::kPartialWildcard:
      return by_intermediate(Server("w*.tls.example"));
    case TlsCert::kSelfSigned:
      return ToIdentity(Issue(Server("self-signed.tls.example"), nullptr), "");
    case TlsCert::kUntrustedRoot:
      return ToIdentity(Issue(Server("untrusted.tls.example"), &a.untrusted_root),
                        CertPem(a.untrusted_root.cert.get()));
    case TlsCert::kSha1Leaf:
      spec = Server("sha1.tls.example");
      spec.digest = EVP_sha1();
      return by_intermediate(spec);
    case TlsCert::kSha1Intermediate:
      return ToIdentity(Issue(Server("sha1-intermediate.tls.example"), &a.sha1_intermediate),
                        CertPem(a.sha1_intermediate.cert.get()));
    case TlsCert::kRsa1024:
      spec = Server("rsa1024.tls.example");
      spec.key_type = KeyType::kRsa1024;
      return by_intermediate(spec);
    case TlsCert::kRsa2048:
      spec = Server("rsa2048.tls.example");
      spec.key_type = KeyType::kRsa2048;
      return by_intermediate(spec);
    case TlsCert::kSni:
      return ToIdentity(Issue(Server("sni.tls.example"), &a.root), "");
    case TlsCert::kIpAddress:
      spec = Server("127.0.0.1");
      spec.alt_names = "IP:127.0.0.1,IP:::1";
      return by_intermediate(spec);
    case TlsCert::kIpAsDnsName:
      return by_intermediate(Server("127.0.0.1"));
    case TlsCert::kIpInCommonName:
      spec = Server("127.0.0.1");
      spec.alt_names.clear();
      return by_intermediate(spec);
    case TlsCert::kNameConstrained:
      return ToIdentity(Issue(Server("ok.nc.tls.example"), &a.constrained),
                        CertPem(a.constrained.cert.get()));
    case TlsCert::kConstraintViolated:
      return ToIdentity(Issue(Server("outside.tls.example"), &a.constrained),
                        CertPem(a.constrained.cert.get()));
    case TlsCert::kClient:
      break;  // made with the PKI, together with its encrypted key
  }
  throw std::logic_error("TLS catalogue: no such certificate");
}

// ---- TlsServer ----

bool TlsServer::Start(const TlsServerConfig& config, std::string* error) {
  if (!HasProgram(OpensslWwwServer::kOpenssl, "openssl", error)) return false;
  const TlsPki& pki = TlsPki::Get();
  const TlsIdentity& identity = pki.Identity(config.cert);
  // No store of trusted certificates at all: OpenSSL would otherwise complete a chain
  // left incomplete on purpose from whatever the store holds.
  std::vector<std::string> argv = {OpensslWwwServer::kOpenssl, "s_server", "-www",
                                   "-accept", "127.0.0.1:0", "-no-CAfile", "-no-CApath",
                                   "-no-CAstore",
                                   "-cert", dir_.Write("cert.pem", identity.cert_pem).string(),
                                   "-key", dir_.Write("key.pem", identity.key_pem).string()};
  if (config.send_chain && !identity.chain_pem.empty()) {
    argv.insert(argv.end(),
                {"-cert_chain", dir_.Write("chain.pem", identity.chain_pem).string()});
  }
  if (config.sni_cert.has_value()) {
    const TlsIdentity& second = pki.Identity(*config.sni_cert);
    argv.insert(argv.end(), {"-servername", config.sni_name,
                             "-cert2", dir_.Write("cert2.pem", second.cert_pem).string(),
                             "-key2", dir_.Write("key2.pem", second.key_pem).string()});
  }
  if (config.client_auth != TlsClientAuth::kNone) {
    argv.insert(argv.end(),
                {config.client_auth == TlsClientAuth::kRequired ? "-Verify" : "-verify", "1",
                 "-CAfile", dir_.Write("client_ca.pem", pki.client_ca_pem()).string()});
  }
  if (config.weak_dh) {
    argv.insert(argv.end(), {"-dhparam", dir_.Write("dh.pem", pki.dh1024_pem()).string()});
  }
  // s_server takes the last "-cipher": a case's own comes after this one.
  argv.insert(argv.end(), {"-cipher", "DEFAULT:@SECLEVEL=0"});
  argv.insert(argv.end(), config.options.begin(), config.options.end());

  if (!StartOpensslServer(process_, std::move(argv), dir_.path(), &port_, error)) {
    Stop();
    return false;
  }
  return true;
}

}  // namespace test
}  // namespace korvo
