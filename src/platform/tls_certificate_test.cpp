#include "platform/tls_certificate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/files.h"
#include "platform/secret_file.h"
#include "platform/small_file.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Certificate = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Certificate LoadCertificate(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  Certificate certificate(PEM_read_X509(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  return certificate;
}

Key LoadKey(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  Key key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  return key;
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The verification a TLS client makes with the certificate file as its only trust anchor,
// strict RFC 5280 checks on, for the server at `host` (an address or a name).
int VerifyAsTrustAnchor(X509* certificate, const std::string& host) {
  X509_STORE* store = X509_STORE_new();
  X509_STORE_add_cert(store, certificate);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, store, certificate, nullptr);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_X509_STRICT);
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  }
  const int result = X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
  X509_STORE_CTX_free(context);
  X509_STORE_free(store);
  return result;
}

TEST(TlsCertificate, GeneratedPairBelongsTogetherAndIsTrustedForItsName) {
  CTempFolder folder("tls");
  const std::string cert = folder / "zelmftp-cert.pem";
  const std::string key = folder / "zelmftp-key.pem";
  std::string error;
  ASSERT_TRUE(GenerateSelfSignedCertificate(cert, key, "127.0.0.1", 30, error)) << error;
  EXPECT_EQ(ModeOf(key), 0600u);
  EXPECT_EQ(ModeOf(cert), 0644u);

  const Certificate certificate = LoadCertificate(cert);
  const Key privateKey = LoadKey(key);
  ASSERT_TRUE(certificate && privateKey);
  EXPECT_EQ(X509_check_private_key(certificate.get(), privateKey.get()), 1);
  EXPECT_EQ(X509_get_version(certificate.get()), X509_VERSION_3);
  EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_ecdsa_with_SHA256);
  EXPECT_TRUE(EVP_PKEY_is_a(privateKey.get(), "EC"));
  EXPECT_EQ(EVP_PKEY_get_bits(privateKey.get()), 256);

  char subject[256];
  X509_NAME_oneline(X509_get_subject_name(certificate.get()), subject, sizeof subject);
  EXPECT_STREQ(subject, "/CN=127.0.0.1");
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate.get()),
                          X509_get_issuer_name(certificate.get())),
            0);
  EXPECT_EQ(ASN1_STRING_length(X509_get0_serialNumber(certificate.get())), 16);

  // Valid from an hour ago for the days asked.
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate.get()),
                           X509_get0_notAfter(certificate.get())),
            1);
  EXPECT_EQ(days * 86400 + seconds, 30 * 86400 + 3600);
  EXPECT_EQ(X509_cmp_current_time(X509_get0_notBefore(certificate.get())), -1);

  EXPECT_EQ(VerifyAsTrustAnchor(certificate.get(), "127.0.0.1"), X509_V_OK);
  EXPECT_EQ(VerifyAsTrustAnchor(certificate.get(), "127.0.0.2"), X509_V_ERR_IP_ADDRESS_MISMATCH);

  // The fingerprint is the SHA-256 of the DER encoding.
  unsigned char* der = nullptr;
  const int derLength = i2d_X509(certificate.get(), &der);
  ASSERT_GT(derLength, 0);
  unsigned char digest[32];
  unsigned int digestLength = 0;
  ASSERT_EQ(EVP_Digest(der, derLength, digest, &digestLength, EVP_sha256(), nullptr), 1);
  OPENSSL_free(der);
  std::string expected;
  for (unsigned int i = 0; i < digestLength; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
    expected += pair;
  }
  std::string fingerprint;
  ASSERT_TRUE(CertificateFingerprint(cert, fingerprint, error)) << error;
  EXPECT_EQ(fingerprint, expected);
}

TEST(TlsCertificate, AlternativeNamesFollowTheKindOfName) {
  const struct {
    const char* name;
    bool dns;
    bool ip;
  } cases[] = {
      {"127.0.0.1", true, true},
      {"::1", false, true},
      {"pc-07.cafe.lan", true, false},
      {"1.2.3.4x", true, false},  // not an address, however it starts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CTempFolder folder("tls");
    std::string error;
    ASSERT_TRUE(
        GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem", c.name, 1, error))
        << error;
    const Certificate certificate = LoadCertificate(folder / "cert.pem");
    ASSERT_TRUE(certificate);
    EXPECT_EQ(X509_check_host(certificate.get(), c.name, 0, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                              nullptr) == 1,
              c.dns);
    EXPECT_EQ(X509_check_ip_asc(certificate.get(), c.name, 0) == 1, c.ip);
    EXPECT_EQ(VerifyAsTrustAnchor(certificate.get(), c.name), X509_V_OK);
    EXPECT_EQ(X509_check_host(certificate.get(), "other.cafe.lan", 0, 0, nullptr), 0);
  }
}

TEST(TlsCertificate, RegeneratingReplacesBothFilesAndTightensTheKey) {
  CTempFolder folder("tls");
  const std::string cert = folder / "cert.pem";
  const std::string key = folder / "key.pem";
  std::string error;
  std::string first;
  ASSERT_TRUE(GenerateSelfSignedCertificate(cert, key, "pc-07", 825, error)) << error;
  ASSERT_TRUE(CertificateFingerprint(cert, first, error)) << error;
  ::chmod(key.c_str(), 0644);
  ASSERT_TRUE(GenerateSelfSignedCertificate(cert, key, "pc-07", 825, error)) << error;
  std::string second;
  ASSERT_TRUE(CertificateFingerprint(cert, second, error)) << error;
  EXPECT_NE(first, second);
  EXPECT_EQ(ModeOf(key), 0600u);
  const Certificate certificate = LoadCertificate(cert);
  const Key privateKey = LoadKey(key);
  ASSERT_TRUE(certificate && privateKey);
  EXPECT_EQ(X509_check_private_key(certificate.get(), privateKey.get()), 1);

  // A pair that cannot be written whole leaves the old pair as it was, and no file behind.
  std::string keyBefore;
  ASSERT_EQ(ReadSmallFile(key, 4096, keyBefore), SmallFileResult::kOk);
  EXPECT_FALSE(GenerateSelfSignedCertificate(folder / "missing/cert.pem", key, "pc-07", 1, error));
  std::string keyAfter;
  ASSERT_EQ(ReadSmallFile(key, 4096, keyAfter), SmallFileResult::kOk);
  EXPECT_EQ(keyAfter, keyBefore);
  std::vector<DirectoryEntry> entries;
  ASSERT_TRUE(ReadDirectory(folder.Path(), LinkPolicy::kNoFollow, entries));
  EXPECT_EQ(entries.size(), 2u);
}

// Whoever owns the folder (the service user, when root runs the command) may have put links
// where the files go: they are replaced, never written through.
TEST(TlsCertificate, LinksInTheFolderAreReplacedNotFollowed) {
  CTempFolder folder("tls");
  const std::string victim = folder / "victim";
  ASSERT_TRUE(WriteSecretFile(victim, "precious\n"));
  ASSERT_TRUE(CreateSymbolicLink(victim, folder / "key.pem"));
  ASSERT_TRUE(CreateSymbolicLink(victim, folder / "cert.pem"));
  std::string error;
  ASSERT_TRUE(
      GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem", "pc-07", 1, error))
      << error;
  std::string content;
  ASSERT_EQ(ReadSmallFile(victim, 4096, content), SmallFileResult::kOk);
  EXPECT_EQ(content, "precious\n");
  EXPECT_EQ(ModeOf(victim), 0600u);
  for (const char* name : {"key.pem", "cert.pem"}) {
    FileStatus status;
    ASSERT_TRUE(GetFileStatus(folder / name, status, LinkPolicy::kNoFollow));
    EXPECT_EQ(status.kind, FileKind::kRegular) << name;
  }
}

TEST(TlsCertificate, BadArgumentsWriteNothing) {
  const struct {
    std::string name;
    int days;
  } cases[] = {
      {"pc-07", 0},
      {"pc-07", -5},
      {"pc-07", kMaxCertificateDays + 1},
      {"", 30},
      {std::string(kMaxCommonNameLength + 1, 'a'), 30},
      {"pc 07", 30},
      {"pc-07,DNS:bank.example", 30},  // would add a name of its own to subjectAltName
      {"pc-07\n", 30},
  };
  CTempFolder folder("tls");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.days));
    std::string error;
    EXPECT_FALSE(GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem", c.name,
                                               c.days, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(Exists(folder / "cert.pem") || Exists(folder / "key.pem"));
  }
  std::string error;
  EXPECT_FALSE(GenerateSelfSignedCertificate(folder / "no/cert.pem", folder / "no/key.pem", "pc-07",
                                             30, error));
  EXPECT_NE(error.find(folder / "no/key.pem"), std::string::npos) << error;
  EXPECT_TRUE(GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem",
                                            std::string(kMaxCommonNameLength, 'a'),
                                            kMaxCertificateDays, error))
      << error;
}

TEST(TlsCertificate, FingerprintOfSomethingElseFails) {
  CTempFolder folder("tls");
  std::string fingerprint;
  std::string error;
  EXPECT_FALSE(CertificateFingerprint(folder / "missing.pem", fingerprint, error));
  EXPECT_NE(error.find("missing.pem"), std::string::npos);
  ASSERT_TRUE(
      GenerateSelfSignedCertificate(folder / "cert.pem", folder / "key.pem", "pc-07", 1, error));
  // A key file is PEM too, but holds no certificate.
  EXPECT_FALSE(CertificateFingerprint(folder / "key.pem", fingerprint, error));
  EXPECT_TRUE(fingerprint.empty());
  EXPECT_FALSE(error.empty());
}

TEST(TlsCertificate, PrivateKeyFileMustBeTheOwnersAlone) {
  const struct {
    unsigned mode;
    const char* complaint;  // nullptr: accepted
  } cases[] = {
      {0600, nullptr},
      {0400, nullptr},
      {0640, "is readable by its group (mode 0640)"},
      {0620, "is writable by its group (mode 0620)"},
      {0644, "is readable by other users (mode 0644)"},
      {0666, "is readable and writable by other users (mode 0666)"},
      {0642, "is writable by other users (mode 0642)"},
      {0601, "is executable by other users (mode 0601)"},
  };
  CTempFolder folder("tls");
  const std::string key = folder / "key.pem";
  std::string error;
  ASSERT_TRUE(GenerateSelfSignedCertificate(folder / "cert.pem", key, "pc-07", 1, error));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(key.c_str(), c.mode), 0);
    const bool accepted = CheckPrivateKeyFile(key, error);
    EXPECT_EQ(accepted, c.complaint == nullptr) << error;
    if (c.complaint != nullptr) {
      EXPECT_EQ(error, "TLS Key " + key + " " + c.complaint + ": chmod 600 it");
    }
  }
  EXPECT_FALSE(CheckPrivateKeyFile(folder / "missing.pem", error));
  EXPECT_EQ(error, "TLS Key " + folder / "missing.pem" + " is missing");
  EXPECT_FALSE(CheckPrivateKeyFile(folder.Path(), error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos);
}

}  // namespace
}  // namespace zelm
