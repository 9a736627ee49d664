#include "platform/unix_socket.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "platform/temp_folder.h"

namespace zelm {
namespace {

namespace fs = std::filesystem;

TEST(UnixSocket, OwnerOnlyFileAndOneListenerAtATime) {
  CTempFolder folder("unix");
  const std::string path = folder / "control.sock";
  int error = 0;
  const SocketHandle listener = ListenUnixSocket(path, error);
  ASSERT_NE(listener, kInvalidSocket) << error;
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  const SocketHandle client = ConnectUnixSocket(path, error);
  ASSERT_NE(client, kInvalidSocket);
  ASSERT_EQ(WaitReadable(listener, 5000, error), 1);
  const SocketHandle served = AcceptUnixSocket(listener, error);
  ASSERT_NE(served, kInvalidSocket);
  EXPECT_TRUE(PeerIsSameUser(served));
  EXPECT_EQ(AcceptUnixSocket(listener, error), kInvalidSocket);
  EXPECT_EQ(error, kWsaEwouldblock);

  // While the listener answers, nobody else can take the path.
  EXPECT_EQ(ListenUnixSocket(path, error), kInvalidSocket);
  EXPECT_EQ(error, kWsaEaddrinuse);
  CloseSocket(client);
  CloseSocket(served);
  CloseSocket(listener);

  // A socket file left behind by a listener that is gone is replaced.
  ASSERT_TRUE(fs::exists(path));
  const SocketHandle again = ListenUnixSocket(path, error);
  EXPECT_NE(again, kInvalidSocket);
  CloseSocket(again);
  RemoveUnixSocketFile(path);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(ConnectUnixSocket(path, error), kInvalidSocket);
}

TEST(UnixSocket, BothEndsLearnWhoTheOtherIsAndWhoOwnsTheFolder) {
  CTempFolder folder("unix");
  const std::string path = folder / "control.sock";
  int error = 0;
  const SocketHandle listener = ListenUnixSocket(path, error);
  ASSERT_NE(listener, kInvalidSocket) << error;
  const SocketHandle client = ConnectUnixSocket(path, error);
  ASSERT_NE(client, kInvalidSocket);
  uint32_t uid = 12345;
  EXPECT_TRUE(GetPeerUserId(client, uid));  // the listener, seen from the client
  EXPECT_EQ(uid, ProcessUserId());
  CloseSocket(client);
  CloseSocket(listener);

  FolderOwnership ownership;
  ASSERT_TRUE(GetFolderOwnership(folder.Path(), ownership, error));
  EXPECT_TRUE(ownership.isFolder);
  EXPECT_EQ(ownership.owner, ProcessUserId());
  EXPECT_EQ(ownership.mode, 0700u);
  EXPECT_FALSE(ownership.groupMayWrite || ownership.othersMayWrite);
  fs::permissions(folder.Path(), fs::perms::all | fs::perms::sticky_bit);
  ASSERT_TRUE(GetFolderOwnership(folder.Path(), ownership, error));
  EXPECT_EQ(ownership.mode, 01777u);
  EXPECT_TRUE(ownership.groupMayWrite && ownership.othersMayWrite);
  ASSERT_TRUE(GetFolderOwnership(path, ownership, error));  // the socket file is left behind
  EXPECT_FALSE(ownership.isFolder);
  EXPECT_FALSE(GetFolderOwnership(folder / "missing", ownership, error));
  EXPECT_NE(error, 0);
}

TEST(UnixSocket, NeverRemovesAFileThatIsNotASocket) {
  CTempFolder folder("unix");
  const std::string path = folder / "accounts.db";
  std::ofstream(path) << "precious";
  int error = 0;
  EXPECT_EQ(ListenUnixSocket(path, error), kInvalidSocket);
  RemoveUnixSocketFile(path);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(ListenUnixSocket(folder / std::string(MaxUnixSocketPath(), 'x'), error),
            kInvalidSocket);
  EXPECT_EQ(error, kWsaEnametoolong);
}

}  // namespace
}  // namespace zelm
