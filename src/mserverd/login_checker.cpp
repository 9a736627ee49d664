// Owns the password checks' workers, their fair bounded queue and the verdicts' outbox.
#include "mserverd/login_checker.h"

#include <algorithm>
#include <system_error>

#include "platform/clock.h"

namespace zelm {

CLoginChecker::CLoginChecker(PasswordCheck check, std::function<void()> notify)
    : check_(std::move(check)), notify_(std::move(notify)) {}

CLoginChecker::~CLoginChecker() {
  {
    CMutexLock lock(mutex_);
    stopping_ = true;
    for (auto& [link, line] : lines_) {
      for (LoginCheck& check : line) Wipe(check.password);
    }
    lines_.clear();
    turns_.clear();
    queued_ = 0;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void CLoginChecker::Wipe(std::string& secret) {
  std::fill(secret.begin(), secret.end(), '\0');
  secret.clear();
}

bool CLoginChecker::Start(size_t workers) {
  try {
    while (workers_.size() < workers) workers_.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CLoginChecker::OpenLink(uint32_t link, uint32_t address) {
  CMutexLock lock(mutex_);
  throttle_.OpenLink(link, address, MonotonicMilliseconds());
}

void CLoginChecker::CloseLink(uint32_t link) {
  CMutexLock lock(mutex_);
  throttle_.CloseLink(link, MonotonicMilliseconds());
  const auto line = lines_.find(link);
  if (line == lines_.end()) return;
  for (LoginCheck& check : line->second) Wipe(check.password);
  queued_ -= line->second.size();
  lines_.erase(line);
  std::erase(turns_, link);
}

bool CLoginChecker::Submit(LoginCheck check) {
  {
    CMutexLock lock(mutex_);
    std::deque<LoginCheck>& line = lines_[check.link];
    if (!stopping_ && line.size() < kQueuedChecksPerLink && queued_ < kQueuedChecks) {
      if (line.empty()) turns_.push_back(check.link);
      line.push_back(std::move(check));
      ++queued_;
      wake_.notify_one();
      return true;
    }
    if (line.empty()) lines_.erase(check.link);
  }
  Wipe(check.password);
  return false;
}

std::vector<LoginVerdict> CLoginChecker::TakeVerdicts() {
  CMutexLock lock(mutex_);
  std::vector<LoginVerdict> verdicts;
  verdicts.swap(outbox_);
  return verdicts;
}

size_t CLoginChecker::Queued() const {
  CMutexLock lock(mutex_);
  return queued_;
}

void CLoginChecker::Work() {
  for (;;) {
    LoginCheck check;
    bool allowed = false;
    {
      CMutexLock lock(mutex_);
      // The wait lets go of the lock and takes it back; `lock` holds it again afterwards.
      std::unique_lock native(mutex_.Native(), std::adopt_lock);
      while (!stopping_ && turns_.empty()) wake_.wait(native);
      native.release();
      if (stopping_) return;
      // The next line in turn gives one check and, when it holds more, waits at the back.
      const uint32_t link = turns_.front();
      turns_.pop_front();
      std::deque<LoginCheck>& line = lines_[link];
      check = std::move(line.front());
      line.pop_front();
      --queued_;
      if (line.empty()) {
        lines_.erase(link);
      } else {
        turns_.push_back(link);
      }
      allowed = throttle_.MayCheck(check.link, check.userName, MonotonicMilliseconds());
    }
    LoginVerdict verdict;
    verdict.link = check.link;
    verdict.sessionId = check.sessionId;
    verdict.userName = check.userName;
    verdict.outcome = LoginOutcome::kThrottled;
    if (allowed) {
      verdict.account = check_(check.userName, check.password);
      verdict.outcome = verdict.account ? LoginOutcome::kAccepted : LoginOutcome::kRefused;
    }
    Wipe(check.password);
    {
      CMutexLock lock(mutex_);
      if (allowed) {
        throttle_.Record(verdict.link, verdict.userName, verdict.outcome == LoginOutcome::kAccepted,
                         MonotonicMilliseconds());
      }
      outbox_.push_back(std::move(verdict));
    }
    if (notify_) notify_();
  }
}

}  // namespace zelm
