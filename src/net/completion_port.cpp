// Owns the upload worker: its epoll set, its table of contexts and its deferred reads.
#include "net/completion_port.h"

#include <chrono>

#include "net/zm_socket.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/thread.h"

namespace zelm {
namespace {

constexpr int kBatch = 64;

}  // namespace

CCompletionPool& CCompletionPool::Instance() {
  // Lives until the process ends, like the worker that uses it.
  static CCompletionPool* pool = new CCompletionPool;
  return *pool;
}

bool CCompletionPool::StartWorker() {
  std::lock_guard<std::mutex> lock(startMutex_);
  if (running_.load()) return true;
  int error = 0;
  if (!poller_.IsOpen() && !poller_.Open(error)) return false;
  running_.store(true);
  if (!StartDetachedThread([this] { Run(); }, kEventThreadStackSize)) {
    running_.store(false);
    return false;
  }
  return true;
}

std::shared_ptr<CCompletionContext> CCompletionPool::Associate(CZmSocket* socket,
                                                               SocketHandle handle) {
  if (socket == nullptr || handle == kInvalidSocket || !StartWorker()) return nullptr;
  std::shared_ptr<CCompletionContext> context;
  {
    std::lock_guard<std::mutex> lock(contextsMutex_);
    context = std::make_shared<CCompletionContext>(socket, handle, nextKey_++, receiveSize_.load());
    contexts_.emplace(context->key_, context);
  }
  int error = 0;
  if (!poller_.Add(handle, context->key_, error)) {
    std::lock_guard<std::mutex> lock(contextsMutex_);
    contexts_.erase(context->key_);
    return nullptr;
  }
  return context;
}

bool CCompletionPool::Arm(const std::shared_ptr<CCompletionContext>& context) {
  if (context->dropped_.load()) return false;
  int error = 0;
  return poller_.Arm(context->handle_, context->key_, error);
}

bool CCompletionPool::PostReceive(const std::shared_ptr<CCompletionContext>& context) {
  if (!context || context->dropped_.load()) return false;
  int64_t notBefore = context->notBeforeMs_.load();
  // Bytes the connection's TLS holds already would never wake the descriptor: the read is
  // served from the list of due reads instead (the callers are the owner or the worker
  // inside its handler, so the owner is alive).
  if ((notBefore == 0 || notBefore <= MonotonicMilliseconds()) &&
      context->owner_->HasBufferedInput()) {
    notBefore = MonotonicMilliseconds();
    {
      std::lock_guard<std::mutex> lock(deferredMutex_);
      deferred_.emplace(notBefore, context);
    }
    if (!IsWorkerThread()) poller_.Wake();
    return true;
  }
  if (notBefore != 0 && notBefore > MonotonicMilliseconds()) {
    bool earliest;
    {
      std::lock_guard<std::mutex> lock(deferredMutex_);
      auto it = deferred_.emplace(notBefore, context);
      earliest = it == deferred_.begin();
    }
    if (earliest && !IsWorkerThread()) poller_.Wake();
    return true;
  }
  return Arm(context);
}

void CCompletionPool::Defer(const std::shared_ptr<CCompletionContext>& context,
                            uint32_t milliseconds) {
  if (context) context->notBeforeMs_.store(MonotonicMilliseconds() + milliseconds);
}

void CCompletionPool::Disassociate(const std::shared_ptr<CCompletionContext>& context,
                                   bool waitForHandler) {
  if (!context) return;
  if (!context->dropped_.exchange(true)) {
    poller_.Remove(context->handle_);
    std::lock_guard<std::mutex> lock(contextsMutex_);
    contexts_.erase(context->key_);
  }
  if (waitForHandler && !IsWorkerThread()) {
    std::lock_guard<std::mutex> wait(context->handlerMutex_);
  }
}

size_t CCompletionPool::ContextCount() const {
  std::lock_guard<std::mutex> lock(contextsMutex_);
  return contexts_.size();
}

int CCompletionPool::NextDeferralTimeout() {
  std::lock_guard<std::mutex> lock(deferredMutex_);
  if (deferred_.empty()) return -1;
  int64_t delay = deferred_.begin()->first - MonotonicMilliseconds();
  if (delay < 0) return 0;
  return delay > 60000 ? 60000 : static_cast<int>(delay);
}

void CCompletionPool::ArmDueDeferrals() {
  std::vector<std::shared_ptr<CCompletionContext>> due;
  {
    std::lock_guard<std::mutex> lock(deferredMutex_);
    int64_t now = MonotonicMilliseconds();
    while (!deferred_.empty() && deferred_.begin()->first <= now) {
      if (auto context = deferred_.begin()->second.lock()) due.push_back(std::move(context));
      deferred_.erase(deferred_.begin());
    }
  }
  for (auto& context : due) {
    {
      std::lock_guard<std::mutex> lock(context->handlerMutex_);
      if (context->dropped_.load()) continue;
      if (context->owner_->HasBufferedInput()) {
        ServeLocked(context);
        continue;
      }
    }
    Arm(context);
  }
}

void CCompletionPool::Serve(const std::shared_ptr<CCompletionContext>& context) {
  std::lock_guard<std::mutex> lock(context->handlerMutex_);
  ServeLocked(context);
}

void CCompletionPool::ServeLocked(const std::shared_ptr<CCompletionContext>& context) {
  if (context->dropped_.load()) return;  // the socket let go while the report was queued
  CZmSocket* owner = context->owner_;
  std::vector<uint8_t>& buffer = context->receiveBuffer_;
  int error = 0;
  long n = owner->ReadForWorker(buffer.data(), buffer.size(), error);
  if (n > 0) {
    owner->OnIoReceived(buffer.data(), static_cast<size_t>(n), buffer.size(), true);
  } else if (n < 0 && error == kWsaEwouldblock) {
    Arm(context);  // nothing after all; wait again
  } else {
    owner->OnIoClosed(n < 0 ? error : 0);
  }
}

void CCompletionPool::Run() {
  workerId_.store(std::this_thread::get_id());
  uint64_t keys[kBatch];
  while (running_.load()) {
    int error = 0;
    int n = poller_.Wait(keys, kBatch, NextDeferralTimeout(), error);
    for (int i = 0; i < n; ++i) {
      std::shared_ptr<CCompletionContext> context;
      {
        std::lock_guard<std::mutex> lock(contextsMutex_);
        auto it = contexts_.find(keys[i]);
        if (it != contexts_.end()) context = it->second;
      }
      if (context) Serve(context);
    }
    ArmDueDeferrals();
    if (n < 0) SleepMilliseconds(1);  // a failing wait must not spin
  }
}

}  // namespace zelm
