// Owns the making of the server's self-signed certificate and key, its fingerprint, and the
// privacy check of a key file.
#include "platform/tls_certificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/small_file.h"

namespace zelm {
namespace {

// A certificate file is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxCertificateFileBytes = 1024 * 1024;
constexpr size_t kSerialBytes = 16;
// notBefore lies this far in the past, for clients whose clocks are a little behind.
constexpr long kBackdateSeconds = 3600;

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;

// `what` failed, with OpenSSL's first queued reason when it has one; clears the queue.
std::string OpenSslFailure(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what + " failed";
  char reason[256];
  ERR_error_string_n(code, reason, sizeof reason);
  return what + " failed: " + reason;
}

bool IsCommonNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == ':';
}

bool IsAddress(int family, const std::string& text) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(family, text.c_str(), address) == 1;
}

// The subjectAltName value for `commonName` (whose characters were checked: it holds no ','
// that could add names of its own).
std::string AlternativeNames(const std::string& commonName) {
  if (IsAddress(AF_INET6, commonName)) return "IP:" + commonName;
  std::string names = "DNS:" + commonName;
  if (IsAddress(AF_INET, commonName)) names += ",IP:" + commonName;
  return names;
}

bool AddExtension(X509* certificate, int nid, const std::string& value, std::string& error) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
    error = OpenSslFailure(std::string("adding the certificate extension ") + OBJ_nid2sn(nid));
    return false;
  }
  return true;
}

bool SetRandomSerial(X509* certificate, std::string& error) {
  unsigned char bytes[kSerialBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    error = OpenSslFailure("drawing a serial number");
    return false;
  }
  // Positive, and a first byte that is not zero, so the number takes all 16 bytes.
  bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7F) | 0x40);
  BignumPtr serial(BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!serial || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate))) {
    error = OpenSslFailure("setting the serial number");
    return false;
  }
  return true;
}

// A new certificate for `key`, signed by it.
CertificatePtr MakeCertificate(EVP_PKEY* key, const std::string& commonName, int days,
                               std::string& error) {
  CertificatePtr certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds) ||
      !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), days, 0, nullptr) ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    error = OpenSslFailure("filling in the certificate");
    return nullptr;
  }
  if (!SetRandomSerial(certificate.get(), error)) return nullptr;
  X509_NAME* name = X509_get_subject_name(certificate.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(certificate.get(), name) != 1) {
    error = OpenSslFailure("naming the certificate");
    return nullptr;
  }
  // The subject key identifier first: the authority key identifier copies it.
  const struct {
    int nid;
    std::string value;
  } extensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,digitalSignature,keyCertSign"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_key_identifier, "hash"},
      {NID_authority_key_identifier, "keyid:always"},
      {NID_subject_alt_name, AlternativeNames(commonName)},
  };
  for (const auto& extension : extensions) {
    if (!AddExtension(certificate.get(), extension.nid, extension.value, error)) return nullptr;
  }
  if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) {
    error = OpenSslFailure("signing the certificate");
    return nullptr;
  }
  return certificate;
}

// What `bio` (a memory BIO) holds, as text.
std::string Contents(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string SystemFailure(const std::string& what) { return what + ": " + std::strerror(errno); }

// SECURITY: a new file beside `path` that takes its place on Commit, or goes away unused. It
// is created exclusively under a name nobody can guess, never an existing file or a link
// someone placed in the folder (which matters when root writes into the service user's
// folder), readable by its owner alone from the start; its final mode and owner are set
// before it takes the name, so the name never stands for a file with other permissions.
class CPendingFile final {
 public:
  explicit CPendingFile(std::string path) : path_(std::move(path)) {}
  ~CPendingFile() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }
  CPendingFile(const CPendingFile&) = delete;
  CPendingFile& operator=(const CPendingFile&) = delete;

  bool Write(std::string_view content, mode_t mode, uint32_t owner, std::string& error) {
    std::string name = path_ + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      error = SystemFailure("cannot write " + path_);
      return false;
    }
    temporary_ = name;
    bool written = true;
    for (size_t done = 0; written && done < content.size();) {
      const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      written = n > 0;
      if (written) done += static_cast<size_t>(n);
    }
    written = written && ::fchmod(fd, mode) == 0 &&
              (owner == kKeepFileOwner || ::fchown(fd, owner, static_cast<gid_t>(-1)) == 0) &&
              ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) error = SystemFailure("cannot write " + path_);
    return written;
  }

  bool Commit(std::string& error) {
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
      error = SystemFailure("cannot replace " + path_);
      return false;
    }
    temporary_.clear();
    return true;
  }

 private:
  const std::string path_;
  std::string temporary_;
};

}  // namespace

bool GenerateSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                                   const std::string& commonName, int days, std::string& error,
                                   uint32_t owner) {
  error.clear();
  if (days < 1 || days > kMaxCertificateDays) {
    error = "a certificate is valid for 1 to " + std::to_string(kMaxCertificateDays) + " days";
    return false;
  }
  if (commonName.empty() || commonName.size() > kMaxCommonNameLength) {
    error =
        "a certificate's name takes 1 to " + std::to_string(kMaxCommonNameLength) + " characters";
    return false;
  }
  // SECURITY: the name goes into the subjectAltName's configuration text, where a ',' would
  // add names of its own.
  for (char c : commonName) {
    if (!IsCommonNameCharacter(c)) {
      error = "a certificate's name is a host name or an address: letters, digits and \".-_:\"";
      return false;
    }
  }
  ERR_clear_error();
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) {
    error = OpenSslFailure("making an ECDSA P-256 key");
    return false;
  }
  const CertificatePtr certificate = MakeCertificate(key.get(), commonName, days, error);
  if (!certificate) return false;

  // The key's text lives in secure memory while it is encoded, and is wiped after the write.
  BioPtr keyText(BIO_new(BIO_s_secmem()));
  BioPtr certificateText(BIO_new(BIO_s_mem()));
  if (!keyText || !certificateText ||
      PEM_write_bio_PrivateKey(keyText.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      PEM_write_bio_X509(certificateText.get(), certificate.get()) != 1) {
    error = OpenSslFailure("encoding the key and certificate as PEM");
    return false;
  }
  // Both files are written in full before either takes its name, so a failure leaves the old
  // pair as it was.
  CPendingFile keyFile(keyPath);
  CPendingFile certificateFile(certPath);
  std::string keyPem = Contents(keyText.get());
  const bool written = !keyPem.empty() && keyFile.Write(keyPem, 0600, owner, error) &&
                       certificateFile.Write(Contents(certificateText.get()), 0644, owner, error);
  OPENSSL_cleanse(keyPem.data(), keyPem.size());
  return written && keyFile.Commit(error) && certificateFile.Commit(error);
}

bool CertificateFingerprint(const std::string& certPath, std::string& fingerprint,
                            std::string& error) {
  fingerprint.clear();
  error.clear();
  std::string pem;
  const SmallFileResult read = ReadSmallFile(certPath, kMaxCertificateFileBytes, pem);
  if (read != SmallFileResult::kOk) {
    error = "cannot read the certificate file " + certPath +
            (read == SmallFileResult::kMissing ? " (missing, or not readable by this user)"
                                               : " (not a certificate file)");
    return false;
  }
  ERR_clear_error();
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  const CertificatePtr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                       : nullptr);
  if (!certificate) {
    error = OpenSslFailure("reading a PEM certificate from " + certPath);
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) {
    error = OpenSslFailure("the SHA-256 digest of " + certPath);
    return false;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) fingerprint.push_back(':');
    fingerprint.push_back(kDigits[digest[i] >> 4]);
    fingerprint.push_back(kDigits[digest[i] & 15]);
  }
  return true;
}

bool CheckPrivateKeyFile(const std::string& keyPath, std::string& error) {
  error.clear();
  struct stat status {};
  if (::stat(keyPath.c_str(), &status) != 0) {
    error = "TLS Key " + keyPath +
            (errno == ENOENT ? std::string(" is missing")
                             : std::string(" cannot be examined: ") + std::strerror(errno));
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = "TLS Key " + keyPath + " is not a regular file";
    return false;
  }
  if ((status.st_mode & 077) == 0) return true;
  // The class of users named is the one with the most to gain: others before the group, read
  // and write access before an execute bit.
  const struct {
    mode_t bits;
    const char* who;
  } classes[] = {{status.st_mode & 07, "other users"}, {(status.st_mode >> 3) & 07, "its group"}};
  const auto* named = &classes[0];
  if ((classes[0].bits & 06) == 0 && ((classes[1].bits & 06) != 0 || classes[0].bits == 0)) {
    named = &classes[1];
  }
  const bool readable = (named->bits & 04) != 0;
  const bool writable = (named->bits & 02) != 0;
  const char* how = readable && writable ? "readable and writable"
                    : readable           ? "readable"
                    : writable           ? "writable"
                                         : "executable";
  error = "TLS Key " + keyPath + " is " + how + " by " + named->who + " (mode " +
          ModeText(status.st_mode) + "): chmod 600 it";
  return false;
}

}  // namespace zelm
