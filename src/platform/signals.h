// Termination signals (SIGTERM, SIGINT) for programs that run in the foreground.
#pragma once

namespace zelm {

// Blocks SIGTERM and SIGINT in the calling thread and in every thread it starts afterwards,
// so that only `WaitForTerminationSignal` receives them. Call first thing in main. Also
// ignores SIGPIPE.
void BlockTerminationSignals();
// Waits for SIGTERM or SIGINT and returns its number.
int WaitForTerminationSignal();

}  // namespace zelm
