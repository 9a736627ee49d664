// The management protocol's messages: every packet of the catalogue as a plain struct, with
// its encoding into a whole packet and its decoding from a received item-block body.
//
// Both ends use this file: the FTP server's management link and the reference management
// server. Decoders return nothing when the body's item block fails verification (the packet
// is then ignored); items a message does not know are skipped.
// Thread safety: pure functions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelm {

class CItemBlock;

using Packet = std::vector<uint8_t>;

// Item 103: listening, greeted sessions, "Max Connection", "Anonymous Access",
// "Anonymous Max", "Default BandWidth". A configuration uses the first (service should be
// active) and the third (new "Max Connection").
struct ServiceRecord {
  std::array<uint32_t, 6> values{};
};

// Item 111, 24 bytes.
struct AccountParameters {
  uint64_t quota = 0;         // bytes, 0 = none
  uint32_t bandwidth = 0;     // KiB per second, 0 = unlimited
  uint32_t sessionLimit = 0;  // per user, 0 = none
  uint32_t rights = 0;        // rights flags of the account
  uint32_t unused = 0;
};

// One connected session in a status report (command 112).
struct SessionStatus {
  std::string userName;  // item 105 only when not empty
  uint32_t sessionId = 0;
  uint32_t loggedInSeconds = 0;
  uint32_t peerAddress = 0;  // network order
  uint32_t bytesSent = 0;
  uint32_t bytesReceived = 0;
  uint32_t transferKind = 0;
};

struct LoginRequest {
  std::string userName;
  std::string hiddenPassword;  // upper-case hexadecimal; empty when no item 107
  uint32_t sessionId = 0;
};

// A login answer or account update (command 110).
struct LoginAnswer {
  std::optional<uint32_t> sessionId;            // item 108
  std::optional<std::string> userName;          // the first item 105, else the first item 106
  std::optional<int32_t> result;                // the last item 109; -1 counts as no result
  std::optional<AccountParameters> parameters;  // the last item 111 of exactly 24 bytes
  std::optional<std::string> homeFolder;        // the last item 113 or 114
};

// Whom an end-sessions (115) or access answer (120) is for: a session, else a user name.
struct SessionSelector {
  std::optional<uint32_t> sessionId;    // item 108
  std::optional<std::string> userName;  // item 105
};

struct AccessRequest {
  uint32_t sessionId = 0;  // item 118
  std::string userName;    // item 105, only when not empty
  std::string path;        // item 113
  uint32_t operation = 0;  // item 119
};

struct AccessAnswer {
  SessionSelector target;
  std::optional<std::string> path;  // item 117
  std::optional<uint32_t> rights;   // item 120
};

struct Configuration {
  std::optional<ServiceRecord> record;  // item 103
  std::optional<std::string> mainPath;  // item 113
};

struct ShortcutRequest {
  std::optional<std::string> folder;  // item 122
  std::optional<std::string> target;  // item 123
  uint32_t id = 0;                    // item 108, 0 when absent
};

struct ShortcutAnswer {
  uint32_t result = 0;  // item 128
  std::string folder;   // item 122, only when not empty
  std::string path;     // item 123
  uint32_t id = 0;      // item 108, only when not 0
};

// From the FTP server (kind 1148).
Packet EncodeHello(std::string_view computerName);
Packet EncodeLoginRequest(const LoginRequest& request);
Packet EncodeStatusRecord(const ServiceRecord& record);
Packet EncodeSessionStatus(const SessionStatus& status);
Packet EncodeAccessRequest(const AccessRequest& request);
Packet EncodeSessionClosed(uint32_t sessionId);
Packet EncodeShortcutAnswer(const ShortcutAnswer& answer);

// From the management server (kind 1149).
Packet EncodeHelloAnswer(uint32_t value);
Packet EncodeStatusRequest();
Packet EncodeConfiguration(const Configuration& configuration);
Packet EncodeLoginAnswer(const LoginAnswer& answer);
Packet EncodeEndSessions(const SessionSelector& target);
Packet EncodeAccessAnswer(const AccessAnswer& answer);
Packet EncodeShortcutRequest(const ShortcutRequest& request);

// Decoders of item-block bodies; nothing when the block fails verification.
std::optional<LoginRequest> DecodeLoginRequest(const uint8_t* body, uint32_t length);
std::optional<ServiceRecord> DecodeStatusRecord(const uint8_t* body, uint32_t length);
std::optional<SessionStatus> DecodeSessionStatus(const uint8_t* body, uint32_t length);
std::optional<AccessRequest> DecodeAccessRequest(const uint8_t* body, uint32_t length);
std::optional<ShortcutAnswer> DecodeShortcutAnswer(const uint8_t* body, uint32_t length);
std::optional<Configuration> DecodeConfiguration(const uint8_t* body, uint32_t length);
std::optional<LoginAnswer> DecodeLoginAnswer(const uint8_t* body, uint32_t length);
std::optional<SessionSelector> DecodeEndSessions(const uint8_t* body, uint32_t length);
std::optional<AccessAnswer> DecodeAccessAnswer(const uint8_t* body, uint32_t length);
std::optional<ShortcutRequest> DecodeShortcutRequest(const uint8_t* body, uint32_t length);

}  // namespace zelm
