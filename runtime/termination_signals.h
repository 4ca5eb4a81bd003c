#pragma once
// The programs' way with signals: SIGINT and SIGTERM are blocked for the
// calling thread and every thread started after it, so that one thread takes
// them with waitForTermination(); SIGPIPE is ignored, so a peer that goes
// mid-write is an error on that write, not the end of the process. Call
// blockTerminationSignals() first thing in main, before any thread starts.
#include <pthread.h>
#include <signal.h>

namespace lumivane {

inline sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

inline void blockTerminationSignals() {
    sigset_t signals = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Blocks until SIGINT or SIGTERM arrives; answers which.
inline int waitForTermination() {
    sigset_t signals = terminationSignals();
    int received = 0;
    sigwait(&signals, &received);
    return received;
}

}  // namespace lumivane
