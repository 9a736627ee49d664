#include "platform/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace zelm {
namespace {

TEST(ErrorNumbers, ErrnoMapsToTheSocketNumberWithTheSameMeaning) {
  const struct {
    int err;
    int wsa;
  } cases[] = {
      {EWOULDBLOCK, 10035},
      {EAGAIN, 10035},
      {EINTR, 10004},
      {EINVAL, 10022},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {EMSGSIZE, 10040},
      {EOPNOTSUPP, 10045},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ENETRESET, 10052},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {EACCES, 10013},
      {EMFILE, 10024},
      {EBADF, 10009},
      {ENOTSOCK, 10038},
      {EPIPE, 10054},
      {0, 0},
      {ENOENT, ENOENT},
      {ENOSPC, ENOSPC},
      {EPERM, EPERM},
  };
  for (const auto& c : cases) EXPECT_EQ(MapErrno(c.err), c.wsa) << c.err;
}

TEST(ErrorNumbers, LastSystemErrorReadsErrno) {
  errno = ECONNREFUSED;
  EXPECT_EQ(LastSystemError(), 10061);
}

TEST(ErrorTexts, SystemTextForKnownUnknownAndLastError) {
  std::string text = "unchanged";
  EXPECT_TRUE(GetSystemErrorText(ENOENT, text));
  EXPECT_EQ(text, "No such file or directory");
  EXPECT_TRUE(GetSystemErrorText(10061, text));  // described by the errno it stands for
  EXPECT_EQ(text, "Connection refused");

  text = "unchanged";
  EXPECT_FALSE(GetSystemErrorText(98765, text));
  EXPECT_EQ(text, "unchanged");

  errno = 0;
  EXPECT_FALSE(GetSystemErrorText(0, text));
  EXPECT_EQ(text, "unchanged");
  errno = EACCES;
  EXPECT_TRUE(GetSystemErrorText(0, text));
  EXPECT_EQ(text, "Permission denied");
}

}  // namespace
}  // namespace zelm
