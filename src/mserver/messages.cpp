// Owns the encoding and decoding of every management message.
#include "mserver/messages.h"

#include "mserver/item_block.h"
#include "mserver/packet.h"
#include "mserver/wire.h"

namespace zelm {
namespace {

Packet Seal(CItemBlock& block, uint32_t kind, uint32_t command) {
  block.Seal();
  MServerPacketHeader header;
  BuildHeader(header, block.GetTotalLength(), kind, kCategoryItems, command, true);
  return EncodePacket(header, block.Bytes().data(), block.GetTotalLength());
}

Packet Bare(uint32_t kind, uint32_t category, uint32_t command) {
  MServerPacketHeader header;
  BuildHeader(header, 0, kind, category, command, true);
  return EncodePacket(header, nullptr, 0);
}

void AddRecord(CItemBlock& block, const ServiceRecord& record) {
  uint8_t* data = block.AddItem(kItemServiceRecord, 24, false);
  for (size_t i = 0; i < record.values.size(); ++i) WriteLe32(data + 4 * i, record.values[i]);
}

std::optional<ServiceRecord> ReadRecord(const ItemView& item) {
  if (item.data.size() < 24) return std::nullopt;
  ServiceRecord record;
  for (size_t i = 0; i < record.values.size(); ++i) record.values[i] = ReadLe32(&item.data[4 * i]);
  return record;
}

// Attaches a received body after verifying it.
bool Open(CItemBlock& block, const uint8_t* body, uint32_t length) {
  return body != nullptr && CItemBlock::VerifyItemBlock(body, length) &&
         block.AttachBlock(body, length);
}

std::optional<uint32_t> U32(const CItemBlock& block, uint16_t tag) {
  uint32_t value = 0;
  const auto item = block.FindItem(tag);
  if (!item || !item->ReadU32(value)) return std::nullopt;
  return value;
}

std::optional<std::string> Text(const CItemBlock& block, uint16_t tag) {
  const auto item = block.FindItem(tag);
  if (!item) return std::nullopt;
  return std::string(item->Text());
}

void AddSelector(CItemBlock& block, const SessionSelector& target) {
  if (target.sessionId) block.AddU32(kItemSessionId, *target.sessionId);
  if (target.userName) block.AddText(kItemUserName, *target.userName);
}

SessionSelector ReadSelector(const CItemBlock& block) {
  return {U32(block, kItemSessionId), Text(block, kItemUserName)};
}

}  // namespace

Packet EncodeHello(std::string_view computerName) {
  std::vector<uint8_t> body(computerName.begin(), computerName.end());
  body.push_back(0);
  MServerPacketHeader header;
  BuildHeader(header, static_cast<uint32_t>(body.size()), kKindFromFtpServer, kCategoryHello, 0,
              true);
  return EncodePacket(header, body.data(), static_cast<uint32_t>(body.size()));
}

Packet EncodeLoginRequest(const LoginRequest& request) {
  CItemBlock block;
  block.AddText(kItemUserName, request.userName);
  if (!request.hiddenPassword.empty()) block.AddText(kItemHiddenPassword, request.hiddenPassword);
  block.AddU32(kItemSessionId, request.sessionId);
  return Seal(block, kKindFromFtpServer, kCommandLoginRequest);
}

Packet EncodeStatusRecord(const ServiceRecord& record) {
  CItemBlock block;
  AddRecord(block, record);
  return Seal(block, kKindFromFtpServer, kCommandStatusFirst);
}

Packet EncodeSessionStatus(const SessionStatus& status) {
  CItemBlock block;
  if (!status.userName.empty()) block.AddText(kItemUserName, status.userName);
  block.AddU32(kItemSessionId, status.sessionId);
  block.AddU32(kItemLoggedInSeconds, status.loggedInSeconds);
  block.AddU32(kItemPeerAddress, status.peerAddress);
  block.AddU32(kItemBytesSent, status.bytesSent);
  block.AddU32(kItemBytesReceived, status.bytesReceived);
  block.AddU32(kItemTransferKind, status.transferKind);
  return Seal(block, kKindFromFtpServer, kCommandStatusSession);
}

Packet EncodeAccessRequest(const AccessRequest& request) {
  CItemBlock block;
  block.AddU32(kItemAccessSessionId, request.sessionId);
  if (!request.userName.empty()) block.AddText(kItemUserName, request.userName);
  block.AddText(kItemPath, request.path);
  block.AddU32(kItemOperation, request.operation);
  return Seal(block, kKindFromFtpServer, kCommandAccessRequest);
}

Packet EncodeSessionClosed(uint32_t sessionId) {
  return Bare(kKindFromFtpServer, kCategorySessionClosed, sessionId);
}

Packet EncodeShortcutAnswer(const ShortcutAnswer& answer) {
  CItemBlock block;
  block.AddU32(kItemTransferKind, answer.result);
  if (!answer.folder.empty()) block.AddText(kItemShortcutFolder, answer.folder);
  block.AddText(kItemShortcutTarget, answer.path);
  if (answer.id != 0) block.AddU32(kItemSessionId, answer.id);
  return Seal(block, kKindFromFtpServer, kCommandShortcutFolder);
}

Packet EncodeHelloAnswer(uint32_t value) {
  return Bare(kKindFromManagement, kCategoryHello, value);
}

Packet EncodeStatusRequest() { return Bare(kKindFromManagement, kCategoryStatusRequest, 0); }

Packet EncodeConfiguration(const Configuration& configuration) {
  CItemBlock block;
  if (configuration.record) AddRecord(block, *configuration.record);
  if (configuration.mainPath) block.AddText(kItemPath, *configuration.mainPath);
  return Seal(block, kKindFromManagement, kCommandConfiguration);
}

Packet EncodeLoginAnswer(const LoginAnswer& answer) {
  CItemBlock block;
  if (answer.sessionId) block.AddU32(kItemSessionId, *answer.sessionId);
  if (answer.userName) block.AddText(kItemUserName, *answer.userName);
  if (answer.result) block.AddU32(kItemLoginResult, static_cast<uint32_t>(*answer.result));
  if (answer.parameters) {
    uint8_t* data = block.AddItem(kItemAccountParameters, 24, false);
    WriteLe32(data, static_cast<uint32_t>(answer.parameters->quota));
    WriteLe32(data + 4, static_cast<uint32_t>(answer.parameters->quota >> 32));
    WriteLe32(data + 8, answer.parameters->bandwidth);
    WriteLe32(data + 12, answer.parameters->sessionLimit);
    WriteLe32(data + 16, answer.parameters->rights);
    WriteLe32(data + 20, answer.parameters->unused);
  }
  if (answer.homeFolder) block.AddText(kItemPath, *answer.homeFolder);
  return Seal(block, kKindFromManagement, kCommandLoginAnswer);
}

Packet EncodeEndSessions(const SessionSelector& target) {
  CItemBlock block;
  AddSelector(block, target);
  return Seal(block, kKindFromManagement, kCommandEndSessions);
}

Packet EncodeAccessAnswer(const AccessAnswer& answer) {
  CItemBlock block;
  AddSelector(block, answer.target);
  if (answer.path) block.AddText(kItemAccessPath, *answer.path);
  if (answer.rights) block.AddU32(kItemRights, *answer.rights);
  return Seal(block, kKindFromManagement, kCommandAccessAnswer);
}

Packet EncodeShortcutRequest(const ShortcutRequest& request) {
  CItemBlock block;
  if (request.folder) block.AddText(kItemShortcutFolder, *request.folder);
  if (request.target) block.AddText(kItemShortcutTarget, *request.target);
  block.AddU32(kItemSessionId, request.id);
  return Seal(block, kKindFromManagement, kCommandShortcutFolder);
}

std::optional<LoginRequest> DecodeLoginRequest(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  LoginRequest request;
  request.userName = Text(block, kItemUserName).value_or("");
  request.hiddenPassword = Text(block, kItemHiddenPassword).value_or("");
  request.sessionId = U32(block, kItemSessionId).value_or(0);
  return request;
}

std::optional<ServiceRecord> DecodeStatusRecord(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  const auto item = block.FindItem(kItemServiceRecord);
  return item ? ReadRecord(*item) : std::nullopt;
}

std::optional<SessionStatus> DecodeSessionStatus(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  SessionStatus status;
  status.userName = Text(block, kItemUserName).value_or("");
  status.sessionId = U32(block, kItemSessionId).value_or(0);
  status.loggedInSeconds = U32(block, kItemLoggedInSeconds).value_or(0);
  status.peerAddress = U32(block, kItemPeerAddress).value_or(0);
  status.bytesSent = U32(block, kItemBytesSent).value_or(0);
  status.bytesReceived = U32(block, kItemBytesReceived).value_or(0);
  status.transferKind = U32(block, kItemTransferKind).value_or(0);
  return status;
}

std::optional<AccessRequest> DecodeAccessRequest(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  AccessRequest request;
  request.sessionId = U32(block, kItemAccessSessionId).value_or(0);
  request.userName = Text(block, kItemUserName).value_or("");
  request.path = Text(block, kItemPath).value_or("");
  request.operation = U32(block, kItemOperation).value_or(0);
  return request;
}

std::optional<ShortcutAnswer> DecodeShortcutAnswer(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  ShortcutAnswer answer;
  answer.result = U32(block, kItemTransferKind).value_or(0);
  answer.folder = Text(block, kItemShortcutFolder).value_or("");
  answer.path = Text(block, kItemShortcutTarget).value_or("");
  answer.id = U32(block, kItemSessionId).value_or(0);
  return answer;
}

std::optional<Configuration> DecodeConfiguration(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  Configuration configuration;
  if (const auto item = block.FindItem(kItemServiceRecord))
    configuration.record = ReadRecord(*item);
  configuration.mainPath = Text(block, kItemPath);
  return configuration;
}

std::optional<LoginAnswer> DecodeLoginAnswer(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  LoginAnswer answer;
  answer.sessionId = U32(block, kItemSessionId);
  answer.userName = Text(block, kItemUserName);
  if (!answer.userName) answer.userName = Text(block, kItemUserNameAlt);
  int32_t result = -1;
  for (uint32_t i = 0; i < block.ItemCount(); ++i) {
    const ItemView item = *block.ItemAt(i);
    if (item.tag == kItemLoginResult) {
      item.ReadI32(result);
    } else if (item.tag == kItemAccountParameters && item.data.size() == 24) {
      AccountParameters p;
      p.quota = uint64_t{ReadLe32(&item.data[0])} | uint64_t{ReadLe32(&item.data[4])} << 32;
      p.bandwidth = ReadLe32(&item.data[8]);
      p.sessionLimit = ReadLe32(&item.data[12]);
      p.rights = ReadLe32(&item.data[16]);
      p.unused = ReadLe32(&item.data[20]);
      answer.parameters = p;
    } else if (item.tag == kItemPath || item.tag == kItemHomeFolderAlt) {
      answer.homeFolder = std::string(item.Text());
    }
  }
  if (result != -1) answer.result = result;
  return answer;
}

std::optional<SessionSelector> DecodeEndSessions(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  return ReadSelector(block);
}

std::optional<AccessAnswer> DecodeAccessAnswer(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  AccessAnswer answer;
  answer.target = ReadSelector(block);
  answer.path = Text(block, kItemAccessPath);
  answer.rights = U32(block, kItemRights);
  return answer;
}

std::optional<ShortcutRequest> DecodeShortcutRequest(const uint8_t* body, uint32_t length) {
  CItemBlock block;
  if (!Open(block, body, length)) return std::nullopt;
  ShortcutRequest request;
  request.folder = Text(block, kItemShortcutFolder);
  request.target = Text(block, kItemShortcutTarget);
  request.id = U32(block, kItemSessionId).value_or(0);
  return request;
}

}  // namespace zelm
