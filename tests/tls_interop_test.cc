// The TLS interoperability suite: korvo's client against `openssl s_server`, one server
// per case from the catalogue of support/tls_catalogue.h, in the manner of badssl.com.
// Each case is accepted or refused as a careful client (curl, the browsers) would, and
// a refusal must say why: Error::detail() carries OpenSSL's verification result or the
// TLS alert, and the host and port.
//
// Names under ".example" reach 127.0.0.1 through SetResolve, never through a resolver.
// The client trusts the catalogue's root alone (SetCaFile, or SetCaPath), never the
// system's roots.
//
// Thread rules: every test runs on the gtest thread (a session adds its loop thread).
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "korvo/response.h"
#include "support/log_capture.h"
#include "support/tls_catalogue.h"

namespace korvo {
namespace test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr const char* kUnverifiedWarning = "Certificate verification is off";

// The files a client is handed, written once per test.
class ClientFiles {
 public:
  ClientFiles() {
    const TlsPki& pki = TlsPki::Get();
    ca_file_ = dir_.Write("ca.pem", pki.root_pem());
    ca_dir_ = dir_.path() / "ca";
    fs::create_directory(ca_dir_);
    dir_.Write("ca/" + pki.root_hashed_name(), pki.root_pem());
    const TlsIdentity& client = pki.Identity(TlsCert::kClient);
    client_cert_ = dir_.Write("client.pem", client.cert_pem);
    client_key_ = dir_.Write("client.key", client.key_pem);
    encrypted_client_key_ = dir_.Write("client-encrypted.key", pki.encrypted_client_key_pem());
    other_key_ = dir_.Write("other.key", pki.Identity(TlsCert::kGood).key_pem);
  }

  const fs::path& ca_file() const { return ca_file_; }
  const fs::path& ca_dir() const { return ca_dir_; }
  const fs::path& client_cert() const { return client_cert_; }
  const fs::path& client_key() const { return client_key_; }
  const fs::path& encrypted_client_key() const { return encrypted_client_key_; }
  // A key that belongs to another certificate than client_cert().
  const fs::path& other_key() const { return other_key_; }
  fs::path Missing() const { return dir_.path() / "no-such-file.pem"; }
  const fs::path& dir() const { return dir_.path(); }

 private:
  ScratchDir dir_{"korvo_tls_"};
  fs::path ca_file_;
  fs::path ca_dir_;
  fs::path client_cert_;
  fs::path client_key_;
  fs::path encrypted_client_key_;
  fs::path other_key_;
};

enum class Trust { kCaFile, kCaPath };
enum class ClientCert { kNone, kPlain, kEncryptedKey };

// One row of the catalogue: a server, the host the client asks for, and what a careful
// client makes of it.
struct TlsCase {
  std::string name;
  TlsServerConfig server;
  std::string host;  // a name is mapped to 127.0.0.1; an address is used as it is
  // Empty: accepted, and the status page shows `page_text`. Otherwise refused with
  // `code`, and detail() contains this.
  std::string refusal;
  ErrorCode code = kConnectError;
  std::string page_text = "Ciphers supported in s_server binary";
  bool verify = true;
  Trust trust = Trust::kCaFile;
  ClientCert client_cert = ClientCert::kNone;

  TlsCase& Showing(std::string text) {
    page_text = std::move(text);
    return *this;
  }
  TlsCase& FailingAs(ErrorCode failure) {
    code = failure;
    return *this;
  }
  TlsCase& Unverified() {
    verify = false;
    return *this;
  }
  TlsCase& TrustingDirectory() {
    trust = Trust::kCaPath;
    return *this;
  }
  TlsCase& Presenting(ClientCert cert) {
    client_cert = cert;
    return *this;
  }
};

TlsCase Accept(std::string name, TlsServerConfig server, std::string host) {
  TlsCase c;
  c.name = std::move(name);
  c.server = std::move(server);
  c.host = std::move(host);
  return c;
}

TlsCase Refuse(std::string name, TlsServerConfig server, std::string host,
               std::string reason) {
  TlsCase c = Accept(std::move(name), std::move(server), std::move(host));
  c.refusal = std::move(reason);
  return c;
}

std::ostream& operator<<(std::ostream& os, const TlsCase& c) { return os << c.name; }

constexpr const char* kGood = "good.tls.example";
constexpr const char* kHostnameMismatch = "hostname mismatch";
constexpr const char* kIpMismatch = "IP address mismatch";
// s_server's status page says so, or prints the certificate it was given.
constexpr const char* kNoClientCert = "no client certificate available";
constexpr const char* kClientCertShown = "Client certificate";

std::vector<TlsCase> Catalogue() {
  using C = TlsCert;
  using A = TlsClientAuth;
  const std::vector<std::string> tls12 = {"-tls1_2"};
  const std::vector<std::string> tls13 = {"-tls1_3"};
  std::vector<TlsCase> cases = {
      // Certificates and their chains.
      Accept("GoodChain", Serve(C::kGood), kGood),
      Accept("GoodChainTrustedThroughHashedDirectory", Serve(C::kGood), kGood)
          .TrustingDirectory(),
      Refuse("Expired", Serve(C::kExpired), "expired.tls.example", "certificate has expired"),
      Refuse("NotYetValid", Serve(C::kNotYetValid), "future.tls.example",
             "certificate is not yet valid"),
      Refuse("SelfSigned", Serve(C::kSelfSigned), "self-signed.tls.example",
             "self-signed certificate"),
      Refuse("UntrustedRoot", Serve(C::kUntrustedRoot), "untrusted.tls.example",
             "self-signed certificate in certificate chain"),
      Refuse("IncompleteChain", Serve(C::kGood).LeafOnly(), kGood,
             "unable to get local issuer certificate"),
      Refuse("Sha1Leaf", Serve(C::kSha1Leaf), "sha1.tls.example",
             "CA signature digest algorithm too weak"),
      Refuse("Sha1Intermediate", Serve(C::kSha1Intermediate), "sha1-intermediate.tls.example",
             "CA signature digest algorithm too weak"),
      Refuse("Rsa1024", Serve(C::kRsa1024), "rsa1024.tls.example", "EE certificate key too weak"),
      Accept("Rsa2048", Serve(C::kRsa2048), "rsa2048.tls.example"),
      Accept("EcdsaP256", Serve(C::kGood).Options({"-sigalgs", "ecdsa_secp256r1_sha256"}), kGood),
      Accept("NameConstraintKept", Serve(C::kNameConstrained), "ok.nc.tls.example"),
      Refuse("NameConstraintViolated", Serve(C::kConstraintViolated), "outside.tls.example",
             "permitted subtree violation"),

      // Host names: subjectAltName only, whole-label wildcards, no CN.
      Refuse("WrongHost", Serve(C::kGood), "wrong.tls.example", kHostnameMismatch),
      Refuse("CommonNameOnly", Serve(C::kCommonNameOnly), "cn-only.tls.example",
             kHostnameMismatch),
      Accept("SubjectAltNameOnly", Serve(C::kSanOnly), "san-only.tls.example"),
      Accept("WildcardOneLabel", Serve(C::kWildcard), "one.wild.tls.example"),
      Refuse("WildcardTwoLabels", Serve(C::kWildcard), "two.labels.wild.tls.example",
             kHostnameMismatch),
      Refuse("WildcardOnTopLevelDomain", Serve(C::kTldWildcard), "tld.example",
             kHostnameMismatch),
      Refuse("PartialLabelWildcard", Serve(C::kPartialWildcard), "www.tls.example",
             kHostnameMismatch),
      Accept("TrailingDot", Serve(C::kGood), "good.tls.example."),
      Accept("SniChoosesSecondCertificate", Serve(C::kGood).Sni("sni.tls.example", C::kSni),
             "sni.tls.example"),
      Accept("SniKeepsDefaultCertificate", Serve(C::kGood).Sni("sni.tls.example", C::kSni),
             kGood),
      Accept("IpLiteralInIpSubjectAltName", Serve(C::kIpAddress), "127.0.0.1"),
      Refuse("IpLiteralAsDnsName", Serve(C::kIpAsDnsName), "127.0.0.1", kIpMismatch),
      Refuse("IpLiteralInCommonNameOnly", Serve(C::kIpInCommonName), "127.0.0.1", kIpMismatch),

      // Protocol versions and key exchange.
      Accept("Tls12Only", Serve(C::kGood).Options(tls12), kGood).Showing("New, TLSv1.2,"),
      Accept("Tls13Only", Serve(C::kGood).Options(tls13), kGood).Showing("New, TLSv1.3,"),
      Refuse("Tls10Only", Serve(C::kGood).Options({"-tls1"}), kGood, "protocol version"),
      Refuse("Tls11Only", Serve(C::kGood).Options({"-tls1_1"}), kGood, "protocol version"),
      Refuse("Dhe1024",
             Serve(C::kRsa2048).WeakDh().Options(
                 {"-tls1_2", "-cipher", "DHE-RSA-AES128-GCM-SHA256:@SECLEVEL=0"}),
             "rsa2048.tls.example", "dh key too small"),

      // Client certificates, under both versions: TLS 1.2 refuses in the handshake, TLS
      // 1.3 only after the client has finished it, so the refusal comes with the answer.
      Accept("Tls12ClientCertOptionalNotGiven",
             Serve(C::kGood).AskClientCert(A::kOptional).Options(tls12), kGood)
          .Showing(kNoClientCert),
      Accept("Tls13ClientCertOptionalNotGiven",
             Serve(C::kGood).AskClientCert(A::kOptional).Options(tls13), kGood)
          .Showing(kNoClientCert),
      Accept("Tls12ClientCertRequiredGiven",
             Serve(C::kGood).AskClientCert(A::kRequired).Options(tls12), kGood)
          .Presenting(ClientCert::kPlain)
          .Showing(kClientCertShown),
      Accept("Tls13ClientCertRequiredGiven",
             Serve(C::kGood).AskClientCert(A::kRequired).Options(tls13), kGood)
          .Presenting(ClientCert::kPlain)
          .Showing(kClientCertShown),
      Accept("ClientCertWithEncryptedKey",
             Serve(C::kGood).AskClientCert(A::kRequired).Options(tls13), kGood)
          .Presenting(ClientCert::kEncryptedKey)
          .Showing(kClientCertShown),
      Refuse("Tls12ClientCertRequiredMissing",
             Serve(C::kGood).AskClientCert(A::kRequired).Options(tls12), kGood,
             "alert handshake failure"),
      Refuse("Tls13ClientCertRequiredMissing",
             Serve(C::kGood).AskClientCert(A::kRequired).Options(tls13), kGood,
             "tlsv13 alert certificate required")
          .FailingAs(kReadError),

      // Verification off: neither the chain nor the name counts.
      Accept("UnverifiedSelfSigned", Serve(C::kSelfSigned), "self-signed.tls.example")
          .Unverified(),
      Accept("UnverifiedExpired", Serve(C::kExpired), "expired.tls.example").Unverified(),
      Accept("UnverifiedWrongHost", Serve(C::kGood), "wrong.tls.example").Unverified(),
  };
  return cases;
}

struct Outcome {
  std::shared_ptr<Response> response;
  std::optional<Error> error;
};

Outcome Fetch(const TlsCase& c, unsigned short port, const ClientFiles& files) {
  ClientSession session;
  // Bounds for a broken server; a working one answers at once.
  session.SetConnectTimeout(10).SetReadTimeout(10);
  if (c.trust == Trust::kCaFile) {
    session.SetCaFile(files.ca_file().string());
  } else {
    session.SetCaPath(files.ca_dir().string());
  }
  if (c.host != "127.0.0.1") session.SetResolve(c.host, port, "127.0.0.1");
  if (!c.verify) session.SetVerifyPeer(false);
  if (c.client_cert == ClientCert::kPlain) {
    session.SetClientCertificate(files.client_cert().string(), files.client_key().string());
  } else if (c.client_cert == ClientCert::kEncryptedKey) {
    session.SetClientCertificate(files.client_cert().string(),
                                 files.encrypted_client_key().string(),
                                 TlsPki::kClientKeyPassphrase);
  }
  const std::string url = "https://" + c.host + ":" + std::to_string(port) + "/";
  Outcome outcome;
  try {
    outcome.response = session.Send(RequestBuilder().Method("GET").Url(url)());
  } catch (const Error& error) {
    outcome.error = error;
  }
  return outcome;
}

class TlsInteropTest : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsInteropTest, AsACarefulClient) {
  const TlsCase& c = GetParam();
  KORVO_REQUIRE_PROGRAM(OpensslWwwServer::kOpenssl, "openssl");
  TlsServer server;
  std::string start_error;
  ASSERT_TRUE(server.Start(c.server, &start_error)) << start_error;
  ClientFiles files;
  LogCapture log;

  Outcome outcome = Fetch(c, server.port(), files);

  if (c.refusal.empty()) {
    ASSERT_FALSE(outcome.error.has_value())
        << *outcome.error << "\ndetail: " << outcome.error->detail()
        << "\ns_server:\n" << server.OutputTail();
    EXPECT_EQ(outcome.response->GetStatus(), 200);
    EXPECT_THAT(outcome.response->GetData(), HasSubstr(c.page_text));
  } else {
    ASSERT_TRUE(outcome.error.has_value())
        << "accepted, answered " << outcome.response->GetStatus() << "\ns_server:\n"
        << server.OutputTail();
    const Error& error = *outcome.error;
    EXPECT_EQ(error.code(), c.code) << error;
    EXPECT_THAT(error.detail(), HasSubstr(c.refusal)) << error;
    EXPECT_THAT(error.detail(), HasSubstr(c.host)) << error;
    EXPECT_THAT(error.detail(), HasSubstr(std::to_string(server.port()))) << error;
    EXPECT_FALSE(error.cancelled());
  }
  // Switching verification off is never silent, and only then is there a warning.
  EXPECT_EQ(log.Count("WARN", kUnverifiedWarning) > 0, !c.verify);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, TlsInteropTest, ::testing::ValuesIn(Catalogue()),
                         [](const ::testing::TestParamInfo<TlsCase>& info) {
                           return info.param.name;
                         });

// A file that cannot serve is refused by the setter itself, before any connection, and
// detail() says what is wrong with it.
struct BadFile {
  std::string name;
  std::function<void(ClientSession&, const ClientFiles&)> apply;
  std::string reason;
};

std::ostream& operator<<(std::ostream& os, const BadFile& b) { return os << b.name; }

constexpr const char* kNoSuchFile = "No such file or directory";

std::vector<BadFile> BadFiles() {
  return {
      {"KeyOfAnotherCertificate",
       [](ClientSession& s, const ClientFiles& f) {
         s.SetClientCertificate(f.client_cert().string(), f.other_key().string());
       },
       "key values mismatch"},
      {"MissingCertificate",
       [](ClientSession& s, const ClientFiles& f) {
         s.SetClientCertificate(f.Missing().string(), f.client_key().string());
       },
       kNoSuchFile},
      {"MissingKey",
       [](ClientSession& s, const ClientFiles& f) {
         s.SetClientCertificate(f.client_cert().string(), f.Missing().string());
       },
       kNoSuchFile},
      {"EncryptedKeyWrongPassphrase",
       [](ClientSession& s, const ClientFiles& f) {
         s.SetClientCertificate(f.client_cert().string(), f.encrypted_client_key().string(),
                                "wrong");
       },
       // Not "bad decrypt" alone: about once in 256 keys a wrong passphrase decrypts to
       // garbage with valid padding, which the key parser then refuses in its own words.
       "cannot load the client key"},
      // Never a prompt on the terminal: no passphrase is a wrong one.
      {"EncryptedKeyNoPassphrase",
       [](ClientSession& s, const ClientFiles& f) {
         s.SetClientCertificate(f.client_cert().string(), f.encrypted_client_key().string());
       },
       "cannot load the client key"},
      {"MissingCaFile",
       [](ClientSession& s, const ClientFiles& f) { s.SetCaFile(f.Missing().string()); },
       kNoSuchFile},
      {"MissingCaDirectory",
       [](ClientSession& s, const ClientFiles& f) { s.SetCaPath(f.Missing().string()); },
       kNoSuchFile},
  };
}

std::string BadFileName(const ::testing::TestParamInfo<BadFile>& info) {
  return info.param.name;
}

// The error of `bad`, or null when it throws none.
std::optional<Error> Apply(const BadFile& bad, const ClientFiles& files) {
  ClientSession session;
  try {
    bad.apply(session, files);
  } catch (const Error& error) {
    return error;
  }
  return std::nullopt;
}

class TlsBadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(TlsBadFileTest, ThrowsAtOnce) {
  ClientFiles files;
  std::optional<Error> error = Apply(GetParam(), files);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), kFileError) << *error;
  EXPECT_THAT(error->detail(), HasSubstr(files.dir().string())) << *error;
  EXPECT_THAT(error->detail(), HasSubstr(GetParam().reason)) << *error;
}

INSTANTIATE_TEST_SUITE_P(Settings, TlsBadFileTest, ::testing::ValuesIn(BadFiles()),
                         BadFileName);

// A refused setting leaves the one before it in force: half a client identity, or no
// trust at all, would be worse than either.
TEST(TlsSettingsTest, RefusedSettingKeepsThePreviousOne) {
  KORVO_REQUIRE_PROGRAM(OpensslWwwServer::kOpenssl, "openssl");
  TlsServer server;
  std::string start_error;
  ASSERT_TRUE(server.Start(Serve(TlsCert::kGood).AskClientCert(TlsClientAuth::kRequired),
                           &start_error))
      << start_error;
  ClientFiles files;
  ClientSession session;
  session.SetResolve(kGood, server.port(), "127.0.0.1")
      .SetCaFile(files.ca_file().string())
      .SetClientCertificate(files.client_cert().string(), files.client_key().string());
  EXPECT_THROW(session.SetCaFile(files.Missing().string()), Error);
  EXPECT_THROW(session.SetClientCertificate(files.client_cert().string(),
                                            files.other_key().string()),
               Error);
  const std::string url = "https://" + std::string(kGood) + ":" +
                          std::to_string(server.port()) + "/";
  try {
    auto response = session.Send(RequestBuilder().Method("GET").Url(url)());
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_THAT(response->GetData(), HasSubstr(kClientCertShown));
  } catch (const Error& error) {
    ADD_FAILURE() << error << "\ndetail: " << error.detail() << "\ns_server:\n"
                  << server.OutputTail();
  }
}

}  // namespace
}  // namespace test
}  // namespace korvo
