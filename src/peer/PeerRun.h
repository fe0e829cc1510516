// keyvane-peer: the program's link and file transfer driven from the command line,
// one action after the other, over QtCore and QtNetwork.
#pragma once

#include <cstdio>

#include "peer/Options.h"

namespace keyvane::peer {

enum ExitStatus : int { kOk = 0, kFailed = 1, kUsage = 2, kLost = 3 };

// Gaps between this side's own messages, as a person at a window leaves them: the
// peer tells messages apart only by the reads they arrive in.
constexpr int kGapMs = 500;

// Connects, runs the actions and ends (hang-up, wipe). Needs a QCoreApplication.
// Events go to `out`; the progress line to `progress` (nullptr for none).
int RunPeer(const Options& options, std::FILE* out, std::FILE* progress);

}  // namespace keyvane::peer
