#pragma once

#include <netdb.h>

namespace qvm::audio {

class Interrupter;

// FFmpeg resolves host names with a plain getaddrinfo that neither a deadline
// nor a stop can interrupt: with a dead name server, a redirect target or an
// HLS segment host holds the connect thread or the reader for as long as the
// resolver likes (tens of seconds), and whoever joins that thread waits as
// long. The engine therefore defines getaddrinfo itself (the executable's
// definition comes first in the process's symbol lookup, so it is the one
// libavformat calls).
//
// On a thread that holds a guard, each lookup runs on a helper thread of its
// own while the calling thread waits through the guard's Interrupter: a stop
// or the step's time-out ends the wait at once (EAI_AGAIN), and the helper
// finishes and cleans up alone. Each lookup starts a new connection, so it
// also restarts the Interrupter's step deadline. Without a guard (Qt, anything
// else) lookups go straight to the system.
class ScopedLookupGuard {
  public:
    explicit ScopedLookupGuard(Interrupter& interrupter);
    ~ScopedLookupGuard();
    ScopedLookupGuard(const ScopedLookupGuard&) = delete;
    ScopedLookupGuard& operator=(const ScopedLookupGuard&) = delete;

  private:
    Interrupter* m_previous;
};

// The system's getaddrinfo behind the guard. Tests put a resolver that never
// answers here (null puts the system's back).
using LookupFn = int (*)(const char* node, const char* service, const addrinfo* hints,
                         addrinfo** result);
void SetSystemLookup(LookupFn lookup);

}  // namespace qvm::audio
