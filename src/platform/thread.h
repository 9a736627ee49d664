// Threads of the system: detached threads with an explicit stack size, and plain sleeps.
//
// Event threads and the upload worker are started here. Every thread is detached: nobody
// joins it, so a thread that does not stop in time can be left running without leaking a
// handle. Whoever starts one learns of its end through state of its own (see CZmSocket).
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace zelm {

// Starts `body` on a new detached thread whose stack is `stackSize` bytes (rounded up to
// what the system accepts). False when the thread could not be created; `body` has then not
// run and will not.
bool StartDetachedThread(std::function<void()> body, size_t stackSize);

// Sleeps the calling thread for `milliseconds`.
void SleepMilliseconds(uint32_t milliseconds);

}  // namespace zelm
