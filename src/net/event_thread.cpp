// Owns the event threads of CZmSocket: starting and stopping them, their wait loop and the
// dispatcher that turns network events into handler calls.
#include <chrono>
#include <condition_variable>
#include <thread>

#include "net/zm_socket.h"
#include "platform/limits.h"
#include "platform/thread.h"

namespace zelm {

// What the starter and the thread share. It outlives the socket when a thread is left running
// detached, so the thread never needs the socket to report its end.
struct CZmSocket::ThreadRecord {
  std::mutex mutex;  // guards active, waitingOn; with `ended` for the stopper's wait
  std::condition_variable ended;
  bool active = true;
  std::shared_ptr<CEventObject> waitingOn;  // the event object the loop waits on
  std::atomic<std::thread::id> id{};
};

std::shared_ptr<CZmSocket::ThreadRecord> CZmSocket::CurrentThreadRecord() const {
  std::lock_guard<std::mutex> lock(threadMutex_);
  return thread_;
}

bool CZmSocket::StartEventThread() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (thread_) {
    std::lock_guard<std::mutex> recordLock(thread_->mutex);
    if (thread_->active) return true;
  }
  auto record = std::make_shared<ThreadRecord>();
  // Set here, not in the loop, so that a stop right after the start is never lost.
  running_.store(true);
  thread_ = record;
  if (!StartDetachedThread([this, record] { ThreadProcedure(record); }, kEventThreadStackSize)) {
    running_.store(false);
    thread_.reset();
    return false;
  }
  return true;
}

void CZmSocket::ThreadProcedure(const std::shared_ptr<ThreadRecord>& record) {
  record->id.store(std::this_thread::get_id());
  uint32_t exitCode = 0;
  if (!InitEvents()) {
    exitCode = kEventThreadInitFailed;
  } else {
    RunEventLoop();
    ExitEvents();
  }
  lastExitCode_.store(exitCode);
  // From here on the socket may be destroyed at any moment: only the record is touched.
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    record->active = false;
    record->waitingOn.reset();
  }
  record->ended.notify_all();
}

void CZmSocket::StopEventThread(bool wait) {
  std::shared_ptr<ThreadRecord> record = CurrentThreadRecord();
  if (!record) return;
  std::shared_ptr<CEventObject> event;
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    if (!record->active) return;
    event = record->waitingOn;
  }
  running_.store(false);
  if (record->id.load() == std::this_thread::get_id()) return;  // ends after this handler
  if (event) event->Signal();
  if (wait) {
    std::unique_lock<std::mutex> lock(record->mutex);
    record->ended.wait_for(lock, std::chrono::milliseconds(stopWaitMs_.load()),
                           [&] { return !record->active; });
  }
  // A thread that did not end in time keeps running detached; its record stays, so
  // IsEventThreadRunning keeps telling the truth about it.
}

bool CZmSocket::IsEventThreadRunning() const {
  std::shared_ptr<ThreadRecord> record = CurrentThreadRecord();
  if (!record) return false;
  std::lock_guard<std::mutex> lock(record->mutex);
  return record->active;
}

uint32_t CZmSocket::GetEventThreadExitCode() const { return lastExitCode_.load(); }

// ---- Inbox ----

void CZmSocket::Post(std::function<void()> task) {
  if (driver_ != nullptr) {
    driver_->Post(std::move(task));
    return;
  }
  {
    CMutexLock lock(inboxMutex_);
    inbox_.push_back(std::move(task));
  }
  WakeEventThread();
}

bool CZmSocket::HasPostedTasks() {
  if (driver_ != nullptr) return driver_->HasPostedTasks();
  CMutexLock lock(inboxMutex_);
  return !inbox_.empty();
}

void CZmSocket::RunPostedTasks() {
  if (driver_ != nullptr) {
    driver_->RunPostedTasks();
    return;
  }
  while (true) {
    std::function<void()> task;
    {
      CMutexLock lock(inboxMutex_);
      if (inbox_.empty()) return;
      task = std::move(inbox_.front());
      inbox_.pop_front();
    }
    task();
  }
}

bool CZmSocket::IsOnOwnThread() const {
  if (driver_ != nullptr) return driver_->IsOnOwnThread();
  std::shared_ptr<ThreadRecord> record = CurrentThreadRecord();
  if (!record) return true;
  {
    std::lock_guard<std::mutex> lock(record->mutex);
    if (!record->active) return true;
  }
  return record->id.load() == std::this_thread::get_id();
}

void CZmSocket::WakeEventThread() {
  wakeRequested_.store(true);
  std::shared_ptr<ThreadRecord> record = CurrentThreadRecord();
  std::shared_ptr<CEventObject> event;
  if (record) {
    std::lock_guard<std::mutex> lock(record->mutex);
    event = record->waitingOn;
  }
  if (event) event->Signal();
}

bool CZmSocket::InitEvents() {
  std::shared_ptr<CEventObject> event = event_;
  if (!event) {
    int error = 0;
    event = CEventObject::Create(error);
    if (!event) {
      lastEventError_.store(error);
      return false;
    }
  }
  if (handle_.load() != kInvalidSocket) {
    SelectOn(event, listening_.load() ? kMaskListening : kMaskConnected);
  }
  event_ = std::move(event);
  return true;
}

void CZmSocket::RunEventLoop() {
  std::shared_ptr<CEventObject> event = event_;
  if (!event) {
    running_.store(false);
    return;
  }
  if (auto record = CurrentThreadRecord()) {
    std::lock_guard<std::mutex> lock(record->mutex);
    record->waitingOn = event;
  }
  while (running_.load()) {
    int error = 0;
    // A wake-up asked for before the thread waited (or between two waits) is not lost.
    CEventObject::WaitResult result = wakeRequested_.exchange(false)
                                          ? CEventObject::WaitResult::kSignalled
                                          : event->Wait(GetNextTickDelay(), error);
    if (!running_.load()) break;
    RunPostedTasks();
    if (!running_.load()) break;
    switch (result) {
      case CEventObject::WaitResult::kSignalled:
        OnNetworkEvents(event.get(), true);
        break;
      case CEventObject::WaitResult::kTimedOut:
        // The owner asked for this pass (its next deadline).
        if (handle_.load() != kInvalidSocket) {
          OnNetworkEvents(event.get(), true);
        } else {
          OnIdle();
        }
        break;
      case CEventObject::WaitResult::kFailed:
        lastEventError_.store(error);
        running_.store(false);
        break;
    }
  }
  running_.store(false);
}

void CZmSocket::ExitEvents() {
  // The thread itself needs no handle to be closed: it is detached and ends on return.
  event_.reset();
}

bool CZmSocket::OnNetworkEvents(CEventObject* /*event*/, bool poll) {
  const SocketHandle fd = handle_.load();
  if (fd == kInvalidSocket) return false;
  std::shared_ptr<CEventObject> selected;
  {
    std::lock_guard<std::mutex> lock(selectMutex_);
    selected = selectedOn_;
  }
  NetworkEvents pending;
  if (selected) selected->EnumNetworkEvents(fd, pending);
  // Decrypted bytes the TLS library holds count as bytes to read.
  if (!listening_.load() && HasBufferedInput()) pending.events |= kFdRead;
  if (pending.events != 0) {
    if (!listening_.load()) OnReceive(pending.ErrorOf(kFdRead));
    if (pending.events & kFdConnect) OnConnect(pending.ErrorOf(kFdConnect));
    if (pending.events & kFdClose) {
      // The receive loop stops after a bounded number of reads; bytes the peer sent before
      // closing are all handled before the close, in later passes when need be.
      uint8_t probe;
      int error = 0;
      if (!listening_.load() && selected && handle_.load() == fd &&
          (ReceiveSocket(fd, &probe, 1, true, error) > 0 || HasBufferedInput())) {
        selected->RearmClose(fd);
        return true;
      }
      Close(true);
      return true;
    }
    if ((pending.events & kFdWrite) && !OnError(kEventBitSend, pending.ErrorOf(kFdWrite))) {
      return false;
    }
    if (pending.events & kFdAccept) AcceptPending();
    if (pending.events & kFdAddressListChange) {
      OnAddressListChange(pending.ErrorOf(kFdAddressListChange));
    }
    if (pending.events & kFdRoutingInterfaceChange) OnRoutingInterfaceChange();
    return true;
  }
  OnError(kEventBitNone, 0);
  if (!poll) return false;
  if (listening_.load()) return AcceptPending();
  if (IsConnected()) return OnReceive(0);
  return false;
}

void PumpWait(uint32_t milliseconds) { SleepMilliseconds(milliseconds); }

}  // namespace zelm
