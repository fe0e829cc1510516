#include "app/StartUp.h"

#include <exception>

#include "cipher/sdk.h"
#include "platform/files.h"

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

std::string ReadOrCreatePort(const std::string& appFolder) {
    const std::string path = appFolder + "port.dat";
    if (ProbeLength(path) == 0) {
        WriteTextLines(path, {"7777"});
        return "7777";
    }
    return ReadFirstLine(path);
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
