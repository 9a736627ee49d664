// Owns the handling of the process's termination signals.
#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

namespace zelm {
namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int WaitForTerminationSignal() {
  const sigset_t set = TerminationSet();
  int number = 0;
  while (sigwait(&set, &number) != 0) {
  }
  return number;
}

}  // namespace zelm
