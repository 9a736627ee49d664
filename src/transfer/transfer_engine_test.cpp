#include "transfer/transfer_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "net/loopback_test_util.h"
#include "platform/files.h"
#include "platform/temp_folder.h"
#include "transfer/bandwidth_budget.h"
#include "vfs/file_helpers.h"

namespace zelm {
namespace {

using testing::kLoopback;
using testing::ReadUpTo;

// A control session reduced to what the engine asks of it.
class CFakeOwner final : public CDataSocketOwner {
 public:
  void OnDataConnected(bool ok) override { (ok ? connected : failed) += 1; }
  void OnUploadEnded(const UploadOutcome&) override {}
  void OnUploadData(size_t) override {}
  uint32_t GetBandwidthLimit() const override { return bandwidth; }
  int64_t ChargeBandwidth(uint64_t bytes, int64_t nowMs) override {
    return budget.Account(bandwidth, bytes, nowMs);
  }
  void OnUploadPaused(int64_t) override {}
  void OnDownloadData(size_t bytes) override { downloaded += bytes; }
  void PollControlConnection() override { ++polls; }
  bool IsControlClosing() const override { return closing; }

  uint32_t bandwidth = 0;
  CBandwidthBudget budget;
  bool closing = false;
  int connected = 0;
  int failed = 0;
  uint64_t downloaded = 0;
  int polls = 0;
};

std::string Pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  CFile file;
  return file.Open(path, CFile::Mode::kWriteTruncate) &&
         file.Write(contents.data(), contents.size());
}

class TransferEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    at_.event = CEventObject::Create(error);
    ASSERT_TRUE(at_.event);
    at_.localAddress = kLoopback;
    at_.peerAddress = kLoopback;
  }
  void TearDown() override {
    engine_.Abort();
    if (client_ != kInvalidSocket) CloseSocket(client_);
  }

  // PASV and the client's connection, which waits at the listener.
  void ConnectPassively() {
    const uint32_t port = engine_.OpenPassive(at_);
    ASSERT_NE(port, 0u);
    EXPECT_EQ(engine_.GetPort(), port);
    int error = 0;
    client_ = OpenSocket(kSocketStream, kProtocolTcp, error);
    ConnectSocket(client_, kLoopback, static_cast<uint16_t>(port), error);
    ASSERT_EQ(WaitWritable(client_, 5000, error), 1);
  }

  // Runs the download while the client reads; what the client received.
  std::string Download(CTransferEngine::DownloadResult& result, size_t expected) {
    std::string received;
    std::thread reader([&] { received = ReadUpTo(client_, expected); });
    result = engine_.RunDownload();
    engine_.CloseConnection();
    reader.join();
    return received;
  }

  CTempFolder folder_{"engine"};
  CFakeOwner owner_;
  CTransferEngine engine_{&owner_, nullptr};
  CTransferEngine::Endpoints at_;
  SocketHandle client_ = kInvalidSocket;
};

TEST_F(TransferEngineTest, PassiveDownloadTakesTheWaitingConnectionAndStartsAtTheRestartOffset) {
  const std::string contents = Pattern(300 * 1024 + 17);
  ASSERT_TRUE(WriteWholeFile(folder_ / "f", contents));
  ConnectPassively();
  ASSERT_TRUE(engine_.OpenFile(folder_ / "f", kDirectionSend, false, 1000));
  // The connection was there before the command: taken at once (125), no wake-up needed.
  EXPECT_EQ(engine_.OpenDataConnection(true, at_), CTransferEngine::kConnectionOpen);
  EXPECT_EQ(owner_.connected, 1);
  CTransferEngine::DownloadResult result = CTransferEngine::kDownloadReadFailed;
  const std::string received = Download(result, contents.size() - 1000);
  EXPECT_EQ(result, CTransferEngine::kDownloadComplete);
  EXPECT_TRUE(received == contents.substr(1000)) << received.size();
  EXPECT_EQ(owner_.downloaded, contents.size() - 1000);
}

TEST_F(TransferEngineTest, LimitedDownloadLooksAtTheControlConnectionBetweenChunks) {
  // With a limit the file is read and sent in chunks (64 KiB at this limit, which is high
  // enough that no pause is due); the control connection is looked at every
  // kControlPollChunks chunks, never after the last one.
  owner_.bandwidth = 1000 * 1000;
  const std::string contents = Pattern(kDownloadChunk * kControlPollChunks * 2 + 5);
  ASSERT_TRUE(WriteWholeFile(folder_ / "f", contents));
  ConnectPassively();
  ASSERT_TRUE(engine_.OpenFile(folder_ / "f", kDirectionSend, false, 0));
  ASSERT_EQ(engine_.OpenDataConnection(true, at_), CTransferEngine::kConnectionOpen);
  CTransferEngine::DownloadResult result = CTransferEngine::kDownloadReadFailed;
  const std::string received = Download(result, contents.size());
  EXPECT_EQ(result, CTransferEngine::kDownloadComplete);
  EXPECT_EQ(received.size(), contents.size());
  EXPECT_EQ(owner_.polls, 2);
}

TEST_F(TransferEngineTest, ClosingControlConnectionStopsTheDownloadAsAFailedSend) {
  owner_.closing = true;
  const std::string contents = Pattern(2 * kDirectStretch);
  ASSERT_TRUE(WriteWholeFile(folder_ / "f", contents));
  ConnectPassively();
  ASSERT_TRUE(engine_.OpenFile(folder_ / "f", kDirectionSend, false, 0));
  ASSERT_EQ(engine_.OpenDataConnection(true, at_), CTransferEngine::kConnectionOpen);
  CTransferEngine::DownloadResult result = CTransferEngine::kDownloadComplete;
  const std::string received = Download(result, contents.size());
  EXPECT_EQ(result, CTransferEngine::kDownloadSendFailed);
  EXPECT_LT(received.size(), contents.size());
}

TEST_F(TransferEngineTest, AwaitedPassiveConnectionIsReportedWhenItArrives) {
  const uint32_t port = engine_.OpenPassive(at_);
  ASSERT_NE(port, 0u);
  ASSERT_TRUE(engine_.OpenFile(folder_ / "new", kDirectionReceive, false, 0));
  EXPECT_EQ(engine_.OpenDataConnection(true, at_), CTransferEngine::kConnectionAwaited);
  EXPECT_EQ(owner_.connected, 0);
  int error = 0;
  client_ = OpenSocket(kSocketStream, kProtocolTcp, error);
  ConnectSocket(client_, kLoopback, static_cast<uint16_t>(port), error);
  ASSERT_EQ(WaitWritable(client_, 5000, error), 1);
  // The listener now wakes the session: its pass accepts and tells the owner.
  ASSERT_TRUE(testing::WaitUntil([&] {
    engine_.OnNetworkEvents(at_.event.get(), true);
    return owner_.connected == 1;
  }));
}

TEST_F(TransferEngineTest, AbandonedUploadRemovesOnlyTheFileItCreated) {
  const struct {
    bool existed;
    bool append;
  } cases[] = {{false, false}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    const std::string path = folder_ / "up";
    RemoveFile(path);
    if (c.existed) {
      ASSERT_TRUE(WriteWholeFile(path, "old contents"));
    }
    ASSERT_TRUE(engine_.OpenFile(path, kDirectionReceive, c.append, 0));
    ASSERT_TRUE(PathExists(path, 0));
    engine_.AbandonFile();
    EXPECT_EQ(PathExists(path, 0), c.existed) << c.existed << c.append;
    if (c.existed) {
      EXPECT_EQ(GetFileSizeByName(path), 12u) << c.append;
    }
  }
}

TEST_F(TransferEngineTest, FileThatCannotBeOpenedReportsTheSystemError) {
  EXPECT_FALSE(engine_.OpenFile(folder_ / "missing", kDirectionSend, false, 0));
  EXPECT_NE(engine_.GetFileError(), 0);
  EXPECT_FALSE(engine_.OpenFile(folder_ / "no/such/dir", kDirectionReceive, false, 0));
  EXPECT_NE(engine_.GetFileError(), 0);
}

}  // namespace
}  // namespace zelm
