// The server's TLS certificate files: a self-signed certificate and its private key made for
// the café's own FTP server, the fingerprint customers compare with their client's prompt,
// and the check that the key file is private before the service uses it.
//
// The key is an ECDSA P-256 key in PEM (PKCS #8, unencrypted); the certificate a PEM X.509 v3
// certificate signed with it (SHA-256).
//
// Thread safety: every function is re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelm {

// The longest common name a certificate can hold (X.520's upper bound for it).
inline constexpr size_t kMaxCommonNameLength = 64;
// The longest validity `GenerateSelfSignedCertificate` accepts, in days (about 100 years).
inline constexpr int kMaxCertificateDays = 36500;

// `owner` of GenerateSelfSignedCertificate that leaves new files to the calling user.
inline constexpr uint32_t kKeepFileOwner = UINT32_MAX;

// Makes a new key and a self-signed certificate for `commonName` (a host name or an IPv4 or
// IPv6 address), valid from an hour ago (for clocks a little behind) for `days` days, and
// writes them to `keyPath` (mode 0600 from its creation) and `certPath` (mode 0644).
// The certificate carries:
//   - a random 16-byte serial number; subject and issuer CN=commonName;
//   - subjectAltName DNS:commonName (not for an IPv6 address), and IP:commonName when the
//     name is an address literal, so clients that check the host name accept it;
//   - basicConstraints CA:TRUE (critical), keyUsage digitalSignature and keyCertSign,
//     extendedKeyUsage serverAuth, and key identifiers, as `openssl req -x509` makes, so that
//     clients accept the file itself as the trust anchor (curl --cacert, lftp's
//     ssl:ca-file, Python's cafile), strict RFC 5280 checks included.
// Each file is written in full under a fresh name beside its path (created exclusively, so
// no link or file someone placed in the folder is followed or reused), given its mode and,
// unless `owner` is kKeepFileOwner, the user id `owner` (its group unchanged; root only),
// and only then renamed over the old one: a reader sees the old pair or the new one, and a
// failure before the renames leaves the old pair as it was. False with `error` set when an
// argument is out of range (`days` from 1 to kMaxCertificateDays; `commonName` 1 to
// kMaxCommonNameLength letters, digits and ".-_:"), OpenSSL fails, or a file cannot be
// written (its folder must exist).
bool GenerateSelfSignedCertificate(const std::string& certPath, const std::string& keyPath,
                                   const std::string& commonName, int days, std::string& error,
                                   uint32_t owner = kKeepFileOwner);

// The SHA-256 digest of the first certificate in the PEM file `certPath`, taken over its DER
// encoding, as upper-case hex pairs joined by ':' (what `openssl x509 -noout -fingerprint
// -sha256` prints after the '='). False with `error` set when the file cannot be read or
// holds no certificate.
bool CertificateFingerprint(const std::string& certPath, std::string& fingerprint,
                            std::string& error);

// True when `keyPath` is a regular file that neither its group nor other users may read or
// write (mode & 077 is 0). False with `error` set to a sentence for the operator, naming the
// file, what is wrong and the remedy ("... is readable by other users (mode 0644): chmod 600
// it"), also when the file is missing or cannot be examined.
bool CheckPrivateKeyFile(const std::string& keyPath, std::string& error);

}  // namespace zelm
