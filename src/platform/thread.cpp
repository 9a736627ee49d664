// Owns thread creation with explicit stack sizes.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <memory>

namespace zelm {
namespace {

void* ThreadEntry(void* argument) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body, size_t stackSize) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
  if (stackSize < minimum) stackSize = minimum;
  const size_t page = 4096;
  stackSize = (stackSize + page - 1) / page * page;
  pthread_attr_setstacksize(&attr, stackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* argument = new std::function<void()>(std::move(body));
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadEntry, argument);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete argument;
    return false;
  }
  return true;
}

void SleepMilliseconds(uint32_t milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace zelm
