// The system's own error vocabulary.
//
// Socket failures are classified by their Windows Sockets error numbers (tolerable versus
// fatal) and described by texts keyed on those numbers, so the platform layer speaks those
// numbers everywhere: `MapErrno` is the one place where an `errno` value becomes one of them.
// Values without a Windows Sockets counterpart pass through unchanged as "system" codes
// (they stay below 10000, so the socket classification treats them as tolerable).
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <string>

namespace zelm {

// Windows Sockets error numbers the system reacts to or describes.
enum ZmSocketError : int {
  kWsaEintr = 10004,
  kWsaEbadf = 10009,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEinprogress = 10036,
  kWsaEalready = 10037,
  kWsaEnotsock = 10038,
  kWsaEdestaddrreq = 10039,
  kWsaEmsgsize = 10040,
  kWsaEprototype = 10041,
  kWsaEnoprotoopt = 10042,
  kWsaEprotonosupport = 10043,
  kWsaEsocktnosupport = 10044,
  kWsaEopnotsupp = 10045,
  kWsaEpfnosupport = 10046,
  kWsaEafnosupport = 10047,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetdown = 10050,
  kWsaEnetunreach = 10051,
  kWsaEnetreset = 10052,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEisconn = 10056,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtoomanyrefs = 10059,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEloop = 10062,
  kWsaEnametoolong = 10063,
  kWsaEhostdown = 10064,
  kWsaEhostunreach = 10065,
  kWsaEproclim = 10067,
  kWsaSysnotready = 10091,
  kWsaVernotsupported = 10092,
  kWsaNotinitialised = 10093,
  kWsaEdiscon = 10101,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// Maps an errno value to the Windows Sockets number with the same meaning; errno values
// without one are returned unchanged. 0 stays 0.
int MapErrno(int err);

// The system's error number of the calling thread's last failed call (errno, mapped).
int LastSystemError();

// The platform's own description of a system error code (an errno value, or a Windows
// Sockets number that `MapErrno` produces). Code 0 means the calling thread's last error;
// when that is 0 too, returns false and leaves `text` unchanged. A code the platform has no
// description for also returns false and leaves `text` unchanged.
bool GetSystemErrorText(int code, std::string& text);

}  // namespace zelm
