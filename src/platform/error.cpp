// Owns the translation of errno values into the system's error numbers and their texts.
#include "platform/error.h"

#include <cerrno>
#include <cstring>
#include <iterator>

namespace zelm {
namespace {

struct ErrnoPair {
  int err;
  int wsa;
};

// The errno values that have a Windows Sockets counterpart.
constexpr ErrnoPair kErrnoToWsa[] = {
    {EWOULDBLOCK, kWsaEwouldblock},
    {EINTR, kWsaEintr},
    {EBADF, kWsaEbadf},
    {EACCES, kWsaEacces},
    {EFAULT, kWsaEfault},
    {EINVAL, kWsaEinval},
    {EMFILE, kWsaEmfile},
    {EINPROGRESS, kWsaEinprogress},
    {EALREADY, kWsaEalready},
    {ENOTSOCK, kWsaEnotsock},
    {EDESTADDRREQ, kWsaEdestaddrreq},
    {EMSGSIZE, kWsaEmsgsize},
    {EPROTOTYPE, kWsaEprototype},
    {ENOPROTOOPT, kWsaEnoprotoopt},
    {EPROTONOSUPPORT, kWsaEprotonosupport},
    {ESOCKTNOSUPPORT, kWsaEsocktnosupport},
    {EOPNOTSUPP, kWsaEopnotsupp},
    {EPFNOSUPPORT, kWsaEpfnosupport},
    {EAFNOSUPPORT, kWsaEafnosupport},
    {EADDRINUSE, kWsaEaddrinuse},
    {EADDRNOTAVAIL, kWsaEaddrnotavail},
    {ENETDOWN, kWsaEnetdown},
    {ENETUNREACH, kWsaEnetunreach},
    {ENETRESET, kWsaEnetreset},
    {ECONNABORTED, kWsaEconnaborted},
    {ECONNRESET, kWsaEconnreset},
    {EPIPE, kWsaEconnreset},
    {ENOBUFS, kWsaEnobufs},
    {EISCONN, kWsaEisconn},
    {ENOTCONN, kWsaEnotconn},
    {ESHUTDOWN, kWsaEshutdown},
    {ETOOMANYREFS, kWsaEtoomanyrefs},
    {ETIMEDOUT, kWsaEtimedout},
    {ECONNREFUSED, kWsaEconnrefused},
    {ELOOP, kWsaEloop},
    {ENAMETOOLONG, kWsaEnametoolong},
    {EHOSTDOWN, kWsaEhostdown},
    {EHOSTUNREACH, kWsaEhostunreach},
};

}  // namespace

int MapErrno(int err) {
  for (const ErrnoPair& pair : kErrnoToWsa) {
    if (pair.err == err) return pair.wsa;
  }
  return err;
}

int LastSystemError() { return MapErrno(errno); }

bool GetSystemErrorText(int code, std::string& text) {
  if (code == 0) code = errno;
  if (code == 0) return false;
  // A Windows Sockets number is described by the errno value it stands for.
  int err = code;
  for (const ErrnoPair& pair : kErrnoToWsa) {
    if (pair.wsa == code) {
      err = pair.err;
      break;
    }
  }
  const char* description = strerrordesc_np(err);
  if (description == nullptr) return false;
  text = description;
  return true;
}

}  // namespace zelm
