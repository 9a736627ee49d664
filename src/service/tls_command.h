// The operator's TLS commands of zelmftpctl:
//   tls generate [--days N] [--name HOST]   a new self-signed certificate and key beside the
//                                           settings store, stored as "TLS Certificate" and
//                                           "TLS Key"
//   tls fingerprint                         the SHA-256 fingerprint of "TLS Certificate"
// The fingerprint is what the café reads out to a customer whose client asks whether to trust
// the server's certificate.
//
// Exit status: 0 done; 1 a value out of range, no certificate configured, or a file or the
// store that cannot be read or written; 2 bad usage (unknown command or option).
// Thread safety: none needed; the operator's tool calls it once from its main thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zelm {

// The files `tls generate` writes into the settings store's folder.
inline constexpr const char* kTlsCertificateFileName = "zelmftp-cert.pem";
inline constexpr const char* kTlsKeyFileName = "zelmftp-key.pem";
// How long a generated certificate is valid when --days is not given.
inline constexpr int kDefaultCertificateDays = 825;

// Runs one TLS command on the store at `storePath`; `args` are the words after "tls". Results
// go to `out`, messages to `err`.
int RunTlsCommand(const std::string& storePath, const std::vector<std::string>& args,
                  std::ostream& out, std::ostream& err);

}  // namespace zelm
