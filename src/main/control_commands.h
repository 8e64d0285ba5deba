// The commands of kep-ctl, as the control socket hands them over.
#pragma once

#include <string>

#include "control_protocol.h"

// Where a command stands: done (with its answer) or still under way.
struct KepControlResult {
  bool done = false;
  KepControlOutcome outcome = KepControlOutcome::kOk;
  std::string text;
};

// Takes a command: refused or done at once, or under way (a stop, a start).
KepControlResult KepControlBegin(const KepControlRequest &request);
// Moves the command under way on; done once the application is held, runs or
// could not be started, or once kep stops all applications. Not done (and
// nothing happens) when no command is under way.
KepControlResult KepControlProgress();
// Forgets the command under way (kep's end).
void KepControlDrop();
