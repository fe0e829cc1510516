#include "app/StartUp.h"

#include <exception>

#include "cipher/sdk.h"
#include "platform/files.h"
#include "platform/folders.h"

namespace keyvane {

std::string WipeLeftoverKeyFiles(SDK& sdk) {
    if (!sdk.KeyFilesLeft()) return "";
    try {
        sdk.WipeKeyFiles();
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

FolderStart OpenProgramFolder(SDK& sdk, FolderLock& lock, const std::string& folder,
                              const std::function<void(const std::string&)>& make) {
    FolderStart start;
    try {
        make(folder);
    } catch (const FileError& e) {
        start.notMade = e;
        return start;
    }
    // Two copies on one folder would build and wipe each other's key files.
    try {
        if (!lock.Take(folder + kFolderLockFile)) {
            start.held = true;
            return start;
        }
        sdk.AppFolder = folder;
        start.leftover = WipeLeftoverKeyFiles(sdk);
    } catch (const FileError& e) {
        start.lockUnknown = e;
    }
    MakeFolder(folder + "Recv");  // most often: it is there already
    return start;
}

std::string ReadOrCreatePort(const std::string& appFolder) {
    const std::string path = appFolder + "port.dat";
    if (ProbeLength(path) == 0) {
        WriteTextLines(path, {"7777"});
        return "7777";
    }
    return ReadFirstLine(path);
}

std::string ReadPort(const std::string& appFolder) {
    const std::string path = appFolder + "port.dat";
    try {
        if (ExistingFileLength(path) == 0) return "7777";
        return ReadFirstLine(path);
    } catch (const FileError&) {
        return "7777";
    }
}

std::string NextActivityBar(const std::string& caption) {
    std::string next = caption + "|";
    if (next.size() == 62) next = "|";
    return next;
}

int TopIndexToShow(int count, int lines) {
    return count > lines ? count - lines : -1;
}

}  // namespace keyvane
