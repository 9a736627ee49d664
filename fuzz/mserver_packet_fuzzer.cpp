// Fuzz target: bytes from the management link through the packet cutter, and bodies through
// the item-block reader and every message decoder.
//
// The first byte chooses the mode. Even: the rest is raw link data, cut as received. Odd: the
// rest is a header's command and a body, sent as a correctly stamped packet (a forged digest
// stops the cutter at once, so this is how bodies reach the decoders).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mserver/item_block.h"
#include "mserver/messages.h"
#include "mserver/packet.h"

namespace {

void DecodeAll(const uint8_t* body, uint32_t length) {
  zelm::DecodeLoginRequest(body, length);
  zelm::DecodeStatusRecord(body, length);
  zelm::DecodeSessionStatus(body, length);
  zelm::DecodeAccessRequest(body, length);
  zelm::DecodeShortcutAnswer(body, length);
  zelm::DecodeConfiguration(body, length);
  zelm::DecodeLoginAnswer(body, length);
  zelm::DecodeEndSessions(body, length);
  zelm::DecodeAccessAnswer(body, length);
  zelm::DecodeShortcutRequest(body, length);

  zelm::CItemBlock block;
  if (block.AttachBlock(body, length)) {
    const uint32_t count = block.ItemCount();
    for (uint32_t i = 0; i < count; ++i) {
      const auto item = block.ItemAt(i);
      if (!item) std::abort();  // counted but not readable
      uint32_t value = 0;
      item->ReadU32(value);
      item->Text();
    }
    block.FindItem(1);
  }
}

void Cut(std::vector<uint8_t>& bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    size_t consumed = 0;
    const size_t missing = zelm::CutPackets(
        bytes.data() + offset, bytes.size() - offset, consumed,
        [](const zelm::MServerPacketHeader&, uint8_t* body, uint32_t length) {
          if (body != nullptr) DecodeAll(body, length);
        });
    if (consumed > bytes.size() - offset) std::abort();
    if (missing != 0 || consumed == 0) break;
    offset += consumed;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    std::vector<uint8_t> bytes(data + 1, data + size);
    Cut(bytes);
    return 0;
  }
  if (size < 3) return 0;
  static const uint32_t kCommands[] = {
      zelm::kCommandConfiguration, zelm::kCommandStatusFirst,  zelm::kCommandLoginRequest,
      zelm::kCommandLoginAnswer,   zelm::kCommandStatusSession, zelm::kCommandEndSessions,
      zelm::kCommandAccessRequest, zelm::kCommandAccessAnswer,  zelm::kCommandShortcutFolder};
  zelm::MServerPacketHeader header;
  zelm::BuildHeader(header, uint32_t(size - 2), zelm::kKindFromManagement,
                    (data[1] & 0x80) != 0 ? zelm::kCategoryHello : zelm::kCategoryItems,
                    kCommands[data[1] % (sizeof(kCommands) / sizeof(kCommands[0]))], true);
  std::vector<uint8_t> bytes = zelm::EncodePacket(header, data + 2, uint32_t(size - 2));
  Cut(bytes);
  // The body alone, as the decoders see it after the cutter.
  std::vector<uint8_t> body(data + 2, data + size);
  body.push_back(0);
  DecodeAll(body.data(), uint32_t(size - 2));
  return 0;
}
