// The plain rules behind the start-up of the main window and keyvane-peer, the status
// list and the activity bars.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/files.h"

namespace keyvane {

class SDK;
class FolderLock;

// How a run's program folder opened.
struct FolderStart {
    std::optional<FileError> notMade;  // the folder could not be made: nothing else was tried
    bool held = false;  // another copy runs with its files there: nothing was touched
    std::optional<FileError> lockUnknown;  // whether another copy uses it cannot be told
    std::string leftover;  // key files an earlier run left that could not be wiped (UTF-8)

    bool Ready() const { return !notMade && !held && !lockUnknown; }
};

// The start of a run in its program folder `folder` (with a trailing "/"), the same for
// the window and keyvane-peer: `make` creates the folder, the folder's lock is taken,
// key files an earlier run left are wiped and "Recv" is made. sdk.AppFolder is set
// once the lock is ours; key files are only ever touched then.
FolderStart OpenProgramFolder(SDK& sdk, FolderLock& lock, const std::string& folder,
                              const std::function<void(const std::string&)>& make);

// Key files that a run which never wiped left in sdk.AppFolder (a crash, a power cut)
// are overwritten and removed as the wipe does it. Only for a copy that holds the
// folder's lock: another copy's files are not ours. "" when nothing was left or all of
// it went, else what failed.
std::string WipeLeftoverKeyFiles(SDK& sdk);

// The port text: the first line of port.dat, unchanged. A missing or empty port.dat is
// written with "7777" and a line end first. Throws FileError when the file cannot be
// created, read or written.
std::string ReadOrCreatePort(const std::string& appFolder);

// The port text as ReadOrCreatePort finds it, "7777" where it would write, and without
// writing: for a run from a script, which leaves the settings as they are.
std::string ReadPort(const std::string& appFolder);

// The caption of an activity bar after one more event: one more "|", back to a single
// "|" when that makes 62.
std::string NextActivityBar(const std::string& caption);

// A list that keeps its last `lines` lines in view: the index (from 0) of the line to
// show at the top once it holds `count` lines, or -1 when the view is left alone.
int TopIndexToShow(int count, int lines);

}  // namespace keyvane
