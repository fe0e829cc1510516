// The plain rules behind the main window's start-up, status list and activity bars.
#pragma once

#include <string>

namespace keyvane {

class SDK;

// Key files that a run which never wiped left in sdk.AppFolder (a crash, a power cut)
// are overwritten and removed as the wipe does it. Only for a copy that holds the
// folder's lock: another copy's files are not ours. "" when nothing was left or all of
// it went, else what failed.
std::string WipeLeftoverKeyFiles(SDK& sdk);

// The port text: the first line of port.dat, unchanged. A missing or empty port.dat is
// written with "7777" and a line end first. Throws FileError when the file cannot be
// created, read or written.
std::string ReadOrCreatePort(const std::string& appFolder);

// The caption of an activity bar after one more event: one more "|", back to a single
// "|" when that makes 62.
std::string NextActivityBar(const std::string& caption);

// A list that keeps its last `lines` lines in view: the index (from 0) of the line to
// show at the top once it holds `count` lines, or -1 when the view is left alone.
int TopIndexToShow(int count, int lines);

}  // namespace keyvane
