#include "mserver/messages.h"

#include <gtest/gtest.h>

#include "mserver/item_block.h"
#include "mserver/packet.h"
#include "mserver/wire.h"

namespace zelm {
namespace {

// A whole packet's header and (terminated) body, as the receiving cutter hands them over.
struct Received {
  MServerPacketHeader header;
  std::vector<uint8_t> packet;
  const uint8_t* body() { return header.bodyLength ? GetBody(packet.data()) : nullptr; }
};

Received Receive(const Packet& packet) {
  Received r{ReadHeader(packet.data()), packet};
  EXPECT_EQ(GetPacketLength(packet.data()), packet.size());
  EXPECT_EQ(CheckPacket(packet.data(), static_cast<uint32_t>(packet.size())), kPacketValid);
  return r;
}

TEST(Messages, FtpServerMessagesRoundTrip) {
  Received login = Receive(EncodeLoginRequest({"bob", "ABCDEF", 7}));
  EXPECT_EQ(login.header.kind, kKindFromFtpServer);
  EXPECT_EQ(login.header.command, kCommandLoginRequest);
  const auto request = DecodeLoginRequest(login.body(), login.header.bodyLength);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->userName, "bob");
  EXPECT_EQ(request->hiddenPassword, "ABCDEF");
  EXPECT_EQ(request->sessionId, 7u);

  Received noPassword = Receive(EncodeLoginRequest({"bob", "", 8}));
  CItemBlock block;
  ASSERT_TRUE(block.AttachBlock(noPassword.body(), noPassword.header.bodyLength));
  EXPECT_FALSE(block.FindItem(kItemHiddenPassword));

  Received status = Receive(EncodeSessionStatus({"", 3, 60, 0x0100007F, 10, 20, 9}));
  EXPECT_EQ(status.header.command, kCommandStatusSession);
  ASSERT_TRUE(block.AttachBlock(status.body(), status.header.bodyLength));
  EXPECT_FALSE(block.FindItem(kItemUserName));  // no user name, no item 105
  EXPECT_EQ(block.ItemAt(0)->tag, kItemSessionId);
  const auto session = DecodeSessionStatus(status.body(), status.header.bodyLength);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->peerAddress, 0x0100007Fu);
  EXPECT_EQ(session->transferKind, 9u);

  Received access = Receive(EncodeAccessRequest({5, "amy", "/srv/ftp/amy/x", 2}));
  const auto accessRequest = DecodeAccessRequest(access.body(), access.header.bodyLength);
  ASSERT_TRUE(accessRequest);
  EXPECT_EQ(accessRequest->path, "/srv/ftp/amy/x");
  EXPECT_EQ(accessRequest->operation, 2u);

  Received closed = Receive(EncodeSessionClosed(99));
  EXPECT_EQ(closed.header.category, kCategorySessionClosed);
  EXPECT_EQ(closed.header.command, 99u);
  EXPECT_EQ(closed.packet.size(), 40u);

  Received answer = Receive(EncodeShortcutAnswer({1, "", "/srv/share/Chess.lnk", 0}));
  ASSERT_TRUE(block.AttachBlock(answer.body(), answer.header.bodyLength));
  EXPECT_FALSE(block.FindItem(kItemShortcutFolder));
  EXPECT_FALSE(block.FindItem(kItemSessionId));
}

TEST(Messages, ManagementMessagesRoundTrip) {
  AccountParameters parameters{5'000'000'000ull, 64, 2, 0x7, 0};
  Received login = Receive(EncodeLoginAnswer({11u, std::nullopt, 1, parameters, "alice"}));
  EXPECT_EQ(login.header.kind, kKindFromManagement);
  const auto answer = DecodeLoginAnswer(login.body(), login.header.bodyLength);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->sessionId, 11u);
  EXPECT_FALSE(answer->userName);
  EXPECT_EQ(answer->result, 1);
  ASSERT_TRUE(answer->parameters);
  EXPECT_EQ(answer->parameters->quota, 5'000'000'000ull);
  EXPECT_EQ(answer->parameters->bandwidth, 64u);
  EXPECT_EQ(answer->parameters->sessionLimit, 2u);
  EXPECT_EQ(answer->parameters->rights, 7u);
  EXPECT_EQ(answer->homeFolder, "alice");

  Configuration configuration{ServiceRecord{{1, 0, 2, 0, 0, 0}}, "/srv/ftp"};
  Received config = Receive(EncodeConfiguration(configuration));
  const auto decoded = DecodeConfiguration(config.body(), config.header.bodyLength);
  ASSERT_TRUE(decoded && decoded->record);
  EXPECT_EQ(decoded->record->values[2], 2u);
  EXPECT_EQ(decoded->mainPath, "/srv/ftp");

  Received end = Receive(EncodeEndSessions({std::nullopt, "bob"}));
  const auto target = DecodeEndSessions(end.body(), end.header.bodyLength);
  ASSERT_TRUE(target);
  EXPECT_FALSE(target->sessionId);
  EXPECT_EQ(target->userName, "bob");

  Received rights = Receive(EncodeAccessAnswer({{4u, std::nullopt}, "/srv/x", 0x1}));
  const auto access = DecodeAccessAnswer(rights.body(), rights.header.bodyLength);
  ASSERT_TRUE(access);
  EXPECT_EQ(access->target.sessionId, 4u);
  EXPECT_EQ(access->path, "/srv/x");
  EXPECT_EQ(access->rights, 1u);

  Received shortcut = Receive(EncodeShortcutRequest({"/srv/share", "/srv/games/Chess/", 12}));
  const auto request = DecodeShortcutRequest(shortcut.body(), shortcut.header.bodyLength);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target, "/srv/games/Chess/");
  EXPECT_EQ(request->id, 12u);

  EXPECT_EQ(Receive(EncodeHelloAnswer(1)).header.command, 1u);
  EXPECT_EQ(Receive(EncodeStatusRequest()).header.category, kCategoryStatusRequest);
}

// The login answer is read item by item: the last result counts, -1 means none, an account
// record of the wrong size is skipped, and item 114 sets the home folder like item 113.
TEST(Messages, LoginAnswerItemWalk) {
  CItemBlock block;
  block.AddText(kItemUserNameAlt, "carol");
  block.AddU32(kItemLoginResult, 1);
  block.AddU32(kItemLoginResult, 0xFFFFFFFFu);
  block.AddItem(kItemAccountParameters, 23, false);
  block.AddText(kItemPath, "first");
  block.AddText(kItemHomeFolderAlt, "second");
  block.Seal();
  std::vector<uint8_t> body(block.Bytes().begin(), block.Bytes().end());
  const auto answer = DecodeLoginAnswer(body.data(), static_cast<uint32_t>(body.size()));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->userName, "carol");
  EXPECT_FALSE(answer->result);
  EXPECT_FALSE(answer->parameters);
  EXPECT_EQ(answer->homeFolder, "second");

  body[body.size() - 1] ^= 1;  // a damaged block is ignored whole
  EXPECT_FALSE(DecodeLoginAnswer(body.data(), static_cast<uint32_t>(body.size())));
  EXPECT_FALSE(DecodeLoginAnswer(nullptr, 0));
}

}  // namespace
}  // namespace zelm
