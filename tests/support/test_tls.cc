#include "support/test_tls.h"

#include <memory>
#include <stdexcept>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace korvo {
namespace test {

namespace {

constexpr const char* kGoodNames = "DNS:localhost,IP:127.0.0.1,IP:::1";


void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(extension != nullptr, "extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// Issues a certificate for `key`; a null issuer makes it self-signed, null `names`
// leaves out the subjectAltName. Validity is [not_before_days, not_after_days] from now.
Cert Issue(EVP_PKEY* key, const char* common_name, X509* issuer, EVP_PKEY* issuer_key,
           bool ca, const char* names, long not_before_days, long not_after_days) {
  static long serial = 1;
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), not_before_days * 24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), not_after_days * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("korvo tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (ca) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    if (names != nullptr) AddExtension(cert.get(), signer, NID_subject_alt_name, names);
  }
  if (issuer != nullptr) {
    AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  Check(X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0,
        "signing");
  return cert;
}

struct Authority {
  Key key;
  Cert cert;
};

Authority MakeCa(const char* common_name) {
  Authority authority;
  authority.key = NewKey();
  authority.cert = Issue(authority.key.get(), common_name, nullptr, nullptr, true, nullptr,
                         -1, 3650);
  return authority;
}

TestCertificate MakeServer(const Authority* issuer, const char* common_name,
                           const char* names, long not_before_days, long not_after_days) {
  Key key = NewKey();
  Cert cert = Issue(key.get(), common_name, issuer ? issuer->cert.get() : nullptr,
                    issuer ? issuer->key.get() : nullptr, false, names, not_before_days,
                    not_after_days);
  return TestCertificate{CertPem(cert.get()), KeyPem(key.get())};
}

}  // namespace

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string CertPem(X509* cert) {
  Bio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_X509(bio.get(), cert) == 1, "certificate PEM");
  return BioText(bio.get());
}

std::string KeyPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "key PEM");
  return BioText(bio.get());
}

TestPki::TestPki() {
  Authority ca = MakeCa("korvo test CA");
  Authority other = MakeCa("korvo untrusted CA");
  ca_ = TestCertificate{CertPem(ca.cert.get()), KeyPem(ca.key.get())};
  other_ca_ = TestCertificate{CertPem(other.cert.get()), KeyPem(other.key.get())};
  good_ = MakeServer(&ca, "localhost", kGoodNames, -1, 3650);
  wrong_host_ = MakeServer(&ca, "wrong.example", "DNS:wrong.example", -1, 3650);
  untrusted_ = MakeServer(&other, "localhost", kGoodNames, -1, 3650);
  expired_ = MakeServer(&ca, "localhost", kGoodNames, -30, -1);
  self_signed_ = MakeServer(nullptr, "localhost", kGoodNames, -1, 3650);
  common_name_only_ = MakeServer(&ca, "localhost", nullptr, -1, 3650);
  partial_wildcard_ = MakeServer(&ca, "w*.example.org", "DNS:w*.example.org", -1, 3650);
  wildcard_ = MakeServer(&ca, "*.example.org", "DNS:*.example.org", -1, 3650);
}

const TestPki& TestPki::Get() {
  static const TestPki pki;
  return pki;
}

void TestPki::Trust(boost::asio::ssl::context& context) const {
  context.add_certificate_authority(boost::asio::buffer(ca_.cert_pem));
}

std::unique_ptr<boost::asio::ssl::context> MakeTestClientContext() {
  auto context =
      std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  TestPki::Get().Trust(*context);
  return context;
}

}  // namespace test
}  // namespace korvo
