// Fuzz target: received control data through the whole line handler of a logged-in session.
//
// The session serves a scratch home folder with every right; it has no connection, so its
// replies go nowhere. Whatever the client sends, nothing may appear or disappear beside the
// home folder, and the handler must never crash or leak.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ftp/account.h"
#include "ftp/ftp_session.h"
#include "ftp/session_log.h"
#include "ftp/session_owner.h"
#include "platform/files.h"
#include "scratch_home.h"

namespace {

class CScratchOwner final : public zelm::CSessionOwner {
 public:
  CScratchOwner() {
    zelm::CFile file;
    file.Open(home_.Outside() + "/secret", zelm::CFile::Mode::kWriteNew);
  }

  int ValidateLogin(zelm::CFtpSession& session) override {
    home_.LogIn(session);
    return zelm::kLoginAccepted;
  }
  bool RequestPathAccess(zelm::CFtpSession&, const std::string&, uint32_t) override {
    return false;
  }
  void OnSessionClosed(zelm::CFtpSession&) override {}
  bool CheckSessionLimit(zelm::CFtpSession&, uint32_t, bool) override { return true; }
  std::string GetQuitText() override { return "bye"; }
  zelm::ShortcutContext GetShortcutContext() override { return {}; }

  // The folder beside the home holds its one file still; the next input starts alike.
  void CheckOutsideAndReset() const {
    home_.CheckOutside(1);
    home_.Reset();
  }

 private:
  zelm::fuzz::CScratchHome home_{"zelm-fuzz-session-"};
};

CScratchOwner& TheOwner() {
  static CScratchOwner* owner = [] {
    zelm::SetJournalLogging(false);
    return new CScratchOwner();
  }();
  return *owner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CScratchOwner& owner = TheOwner();
  {
    zelm::CFtpSession session(&owner, 1);
    session.SetFlags(zelm::kFlagGreeted);
    std::string login = "USER fuzz\r\nPASS fuzz\r\n";
    size_t consumed = 0;
    session.OnReceiveData(reinterpret_cast<uint8_t*>(login.data()), login.size(), consumed);

    // The received bytes arrive in pieces split at the flag byte's choice, as a network
    // would deliver them; the unconsumed tail is kept, as the socket does.
    std::string pending;
    const size_t piece = size == 0 ? 1 : (data[0] % 64) + 1;
    for (size_t at = size == 0 ? 0 : 1; at < size && !session.HasFlag(zelm::kFlagClosing);
         at += piece) {
      pending.append(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));
      consumed = 0;
      const int wanted = session.OnReceiveData(reinterpret_cast<uint8_t*>(pending.data()),
                                               pending.size(), consumed);
      if (wanted <= 0) {
        pending.clear();  // every line was handled
      } else {
        pending.erase(0, std::min(consumed, pending.size()));
      }
    }
  }
  owner.CheckOutsideAndReset();
  return 0;
}
