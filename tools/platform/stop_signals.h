// The signals that stop a tool (INT, TERM, HUP, QUIT, PIPE) remove what the
// tool has made and not yet finished (temporary files, its work folder)
// before the tool ends as the signal asks. A path is made and remembered,
// and later finished and forgotten, with the signals held, so that no
// signal falls in between.
#pragma once

#include <signal.h>

#include <string>

namespace pelmar_tools {

// Every signal whose default action ends the process and that a user, a
// terminal or a closed pipe sends a tool.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// Holds off the stop signals for its lifetime; one that arrives meanwhile
// is delivered when it ends.
class StopSignalsHeld {
  public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

  private:
    sigset_t previous_;
};

// Removes `path` (a file, or an empty folder) if a stop signal arrives,
// the most recently remembered first; call with the signals held. The
// handlers are set at the first call; a signal that was ignored when the
// tool started (nohup) stays ignored. False when the list is full or the
// path too long: the caller then does not make the file.
bool RemoveOnStop(const std::string &path);
// No longer removed on a stop signal (finished or already removed).
void KeepOnStop(const std::string &path);

}  // namespace pelmar_tools
