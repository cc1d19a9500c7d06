// The list lives in fixed buffers: a signal handler may not allocate, and
// it only unlinks, removes folders and ends the process, all safe there.
#include "tools/platform/stop_signals.h"

#include <unistd.h>

#include <cstring>

namespace pelmar_tools {
namespace {

struct RemovalList {
    char paths[16][4096];
    volatile sig_atomic_t count = 0;
    bool handlersSet = false;
} gRemovals;

void RemoveAndStop(int signal) {
    for (int i = gRemovals.count - 1; i >= 0; --i)
        if (unlink(gRemovals.paths[i]) != 0) rmdir(gRemovals.paths[i]);
    gRemovals.count = 0;
    // Ends the process as the signal would have, once this handler returns
    // and the signal is no longer blocked.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void SetHandlers() {
    struct sigaction action {};
    action.sa_handler = RemoveAndStop;
    sigemptyset(&action.sa_mask);
    for (int s : kStopSignals) sigaddset(&action.sa_mask, s);
    for (int s : kStopSignals) {
        struct sigaction before {};
        if (sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
    gRemovals.handlersSet = true;
}

}  // namespace

StopSignalsHeld::StopSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int s : kStopSignals) sigaddset(&held, s);
    sigprocmask(SIG_BLOCK, &held, &previous_);
}

StopSignalsHeld::~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool RemoveOnStop(const std::string &path) {
    if (!gRemovals.handlersSet) SetHandlers();
    const size_t capacity = sizeof gRemovals.paths / sizeof gRemovals.paths[0];
    if (static_cast<size_t>(gRemovals.count) >= capacity || path.size() >= sizeof gRemovals.paths[0])
        return false;
    std::memcpy(gRemovals.paths[gRemovals.count], path.c_str(), path.size() + 1);
    gRemovals.count = gRemovals.count + 1;
    return true;
}

void KeepOnStop(const std::string &path) {
    for (int i = gRemovals.count - 1; i >= 0; --i) {
        if (path != gRemovals.paths[i]) continue;
        for (int j = i; j + 1 < gRemovals.count; ++j)
            std::memcpy(gRemovals.paths[j], gRemovals.paths[j + 1], sizeof gRemovals.paths[j]);
        gRemovals.count = gRemovals.count - 1;
        return;
    }
}

}  // namespace pelmar_tools
