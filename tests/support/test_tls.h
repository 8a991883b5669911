// Test certificates, made at test time with OpenSSL, so that no key or certificate is
// kept in the repository and none ever expires under the tests.
//
// TestPki::Get() holds a test CA and server certificates, all P-256 keys:
//   good        - for "localhost", 127.0.0.1 and ::1, issued by the test CA;
//   wrong_host  - for "wrong.example" only, issued by the test CA;
//   untrusted   - for the good names, issued by a second CA that nobody trusts;
//   expired     - for the good names, issued by the test CA, expired yesterday;
//   self_signed - for the good names, signed by its own key (in no trust store);
//   common_name_only - subject CN "localhost" and no subjectAltName, by the test CA;
//   partial_wildcard - for "w*.example.org" only, issued by the test CA;
//   wildcard    - for "*.example.org" only, issued by the test CA.
// A client context that trusts the test CA (and nothing else) comes from
// MakeTestClientContext(); a server uses a TestCertificate's PEM texts.
//
// Thread rules: TestPki::Get() may be called from any thread; the set is created once
// and never changes.
#ifndef KORVO_TESTS_SUPPORT_TEST_TLS_H_
#define KORVO_TESTS_SUPPORT_TEST_TLS_H_

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace korvo {
namespace test {

// A certificate and its private key, both PEM encoded.
struct TestCertificate {
  std::string cert_pem;
  std::string key_pem;
};

class TestPki {
 public:
  static const TestPki& Get();

  const std::string& ca_pem() const { return ca_.cert_pem; }
  const TestCertificate& good() const { return good_; }
  const TestCertificate& wrong_host() const { return wrong_host_; }
  const TestCertificate& untrusted() const { return untrusted_; }
  const TestCertificate& expired() const { return expired_; }
  const TestCertificate& self_signed() const { return self_signed_; }
  const TestCertificate& common_name_only() const { return common_name_only_; }
  const TestCertificate& partial_wildcard() const { return partial_wildcard_; }
  const TestCertificate& wildcard() const { return wildcard_; }

  // Makes `context` trust the test CA (verification itself is switched on per
  // connection by the client).
  void Trust(boost::asio::ssl::context& context) const;

 private:
  TestPki();

  TestCertificate ca_;
  TestCertificate other_ca_;
  TestCertificate good_;
  TestCertificate wrong_host_;
  TestCertificate untrusted_;
  TestCertificate expired_;
  TestCertificate self_signed_;
  TestCertificate common_name_only_;
  TestCertificate partial_wildcard_;
  TestCertificate wildcard_;
};

// Owners of OpenSSL objects.
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// The contents of a memory BIO, and OpenSSL objects as PEM text (for test servers and
// trust files). Throw std::runtime_error when OpenSSL fails.
std::string BioText(BIO* bio);
std::string CertPem(X509* cert);
std::string KeyPem(EVP_PKEY* key);

// A TLS client context that trusts only the test CA.
std::unique_ptr<boost::asio::ssl::context> MakeTestClientContext();

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_TEST_TLS_H_
