// Owns zelmftpctl's TLS commands: making the server's certificate and showing its fingerprint.
#include "service/tls_command.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "platform/files.h"
#include "platform/host.h"
#include "platform/service_manager.h"
#include "platform/settings_store.h"
#include "platform/tls_certificate.h"
#include "platform/unix_socket.h"

namespace zelm {
namespace {

constexpr const char* kCertificateSetting = "TLS Certificate";
constexpr const char* kKeySetting = "TLS Key";

constexpr const char* kUsage =
    "usage: zelmftpctl [--settings PATH] tls generate [--days N] [--name HOST] | fingerprint\n";

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<int> ParseDays(const std::string& text) {
  int days = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), days);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return days;
}

// A text setting's value up to its first zero byte; empty when it is missing or a number.
std::string ReadText(const CSettingsStore& store, const char* name) {
  const std::optional<SettingValue> value = store.Read(name);
  if (!value || value->kind != SettingKind::kString) return {};
  return value->bytes.substr(0, value->bytes.find('\0'));
}

// Who the new files belong to. Root writing into a folder the service user owns gives them to
// that user, so the service can read its key (which stays mode 0600); anyone else keeps them.
bool OwnerForFiles(const std::string& folder, uint32_t& owner, std::ostream& err) {
  owner = kKeepFileOwner;
  if (ProcessUserId() != 0) return true;
  FolderOwnership ownership;
  int error = 0;
  if (!GetFolderOwnership(folder, ownership, error)) {
    err << "zelmftpctl: cannot examine " << folder << "\n";
    return false;
  }
  if (ownership.owner != 0) owner = ownership.owner;
  return true;
}

int Generate(const std::string& storePath, const std::vector<std::string>& args, std::ostream& out,
             std::ostream& err) {
  int days = kDefaultCertificateDays;
  std::optional<std::string> name;
  for (size_t i = 1; i < args.size(); i += 2) {
    if ((args[i] != "--days" && args[i] != "--name") || i + 1 >= args.size()) {
      err << "zelmftpctl: unknown or incomplete option '" << args[i] << "'\n" << kUsage;
      return 2;
    }
    if (args[i] == "--name") {
      name = args[i + 1];
      continue;
    }
    const std::optional<int> parsed = ParseDays(args[i + 1]);
    if (!parsed || *parsed < 1 || *parsed > kMaxCertificateDays) {
      err << "zelmftpctl: --days takes a whole number of days from 1 to " << kMaxCertificateDays
          << "\n";
      return 1;
    }
    days = *parsed;
  }
  if (!name) name = GetHostName();
  if (name->empty()) {
    err << "zelmftpctl: cannot read this computer's host name; give one with --name HOST\n";
    return 1;
  }

  const std::string folder = FolderOf(storePath);
  std::string absolute;
  if (!MakeFolders(folder, 0700) || !ResolveRealPath(folder, absolute)) {
    err << "zelmftpctl: cannot create the settings folder " << folder << "\n";
    return 1;
  }
  const std::string certPath = absolute + "/" + kTlsCertificateFileName;
  const std::string keyPath = absolute + "/" + kTlsKeyFileName;
  uint32_t owner = kKeepFileOwner;
  if (!OwnerForFiles(absolute, owner, err)) return 1;
  std::string error;
  if (!GenerateSelfSignedCertificate(certPath, keyPath, *name, days, error, owner)) {
    err << "zelmftpctl: " << error << "\n";
    return 1;
  }
  std::string fingerprint;
  if (!CertificateFingerprint(certPath, fingerprint, error)) {
    err << "zelmftpctl: " << error << "\n";
    return 1;
  }
  CSettingsStore store(storePath);
  for (const auto& [setting, path] :
       {std::pair{kCertificateSetting, certPath}, std::pair{kKeySetting, keyPath}}) {
    if (!store.Write(setting, SettingValue::Text(path), true)) {
      err << "zelmftpctl: the files are written, but \"" << setting << "\" cannot be stored in "
          << storePath << ": " << store.LastError() << "\n";
      return 1;
    }
  }
  out << "TLS certificate " << certPath << " (CN=" << *name << ", valid " << days << " days)\n"
      << "TLS key " << keyPath << " (mode 0600)\n"
      << "SHA-256 fingerprint " << fingerprint << "\n";
  return 0;
}

int Fingerprint(const std::string& storePath, std::ostream& out, std::ostream& err) {
  const CSettingsStore store(storePath);
  const std::string certPath = ReadText(store, kCertificateSetting);
  if (certPath.empty()) {
    err << "zelmftpctl: no TLS certificate is configured (\"" << kCertificateSetting
        << "\" is not set in " << storePath << "); make one with: zelmftpctl tls generate\n";
    return 1;
  }
  std::string fingerprint;
  std::string error;
  if (!CertificateFingerprint(certPath, fingerprint, error)) {
    err << "zelmftpctl: " << error << "\n";
    return 1;
  }
  out << "TLS certificate " << certPath << "\n"
      << "SHA-256 fingerprint " << fingerprint << "\n";
  return 0;
}

}  // namespace

int RunTlsCommand(const std::string& storePath, const std::vector<std::string>& args,
                  std::ostream& out, std::ostream& err) {
  if (!args.empty() && args[0] == "generate") return Generate(storePath, args, out, err);
  if (args.size() == 1 && args[0] == "fingerprint") return Fingerprint(storePath, out, err);
  err << "zelmftpctl: unknown tls command\n" << kUsage;
  return 2;
}

}  // namespace zelm
