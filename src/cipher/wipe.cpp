// Overwrites and deletes every key and working file before the program ends.
#include "cipher/sdk.h"

namespace keyvane {

namespace {

void FillRecords(const std::string& path, size_t length, const std::string& fill,
                 std::string& buffer) {
    RecordFile f(path, length);
    if (f.Length() != 0) {
        // The fill is empty before the tables were first built: blanks then.
        buffer = fill;
        buffer.resize(length, ' ');
        for (int r = 1; r <= SDK::kRotors; ++r) f.Write(r, buffer);
    }
    f.Close();
}

// Every key and working file, in the order they are deleted.
constexpr const char* kWipedFiles[] = {"k1.tcr", "k1.trs", "k1.bcr", "k1.brs", "k1.txt",
                                       "k1.bin", "k2.txt", "k2.bin", "k3.txt", "k3.bin",
                                       "k4.txt", "k4.bin", "k5.txt", "k5.bin", "k6.dat"};

void WriteCrosses(const std::string& path) {
    TextWriter w(path);
    for (int i = 0; i < 20; ++i) w.WriteLine("xxxxx");
    w.Close();
}

}  // namespace

void SDK::WipeKeyFiles() {
    ForgetKeyFiles();
    std::string fill151;
    for (const char* name : {"k1.tcr", "k1.trs", "k1.txt"})
        FillRecords(File(name), 151, AtFill151, fill151);
    for (const char* name : {"k1.bcr", "k1.brs", "k1.bin"})
        FillRecords(File(name), 256, AtFill256, RotorRecord);

    for (const char* name : {"k2.txt", "k2.bin"}) {
        TextWriter w(File(name));
        w.WriteLine(PrintNumber(0) + PrintNumber(0));
        w.Close();
    }

    {
        RecordFile k3txt(File("k3.txt"), 100);
        RecordFile k3bin(File("k3.bin"), 100);
        const int64_t txtLength = k3txt.Length(), binLength = k3bin.Length();
        if (txtLength != 0 || binLength != 0) {
            RotorSetupRecord.assign(kRotors, ' ');
            RotorSetupRecord.append(4 * kRotors, '\0');  // twenty single-precision zeros
        }
        if (txtLength != 0) k3txt.Write(1, RotorSetupRecord);
        // k3.bin holds this connection's directions and figures: blanked whenever it holds
        // anything, every record of it, whatever k3.txt holds.
        for (int64_t r = 1; (r - 1) * 100 < binLength; ++r) k3bin.Write(r, RotorSetupRecord);
        k3txt.Close();
        k3bin.Close();
    }

    for (const char* name : {"k4.txt", "k4.bin"})
        if (ProbeLength(File(name)) != 0) WriteCrosses(File(name));
    for (const char* name : {"k5.txt", "k5.bin", "k6.dat"}) WriteCrosses(File(name));

    for (const char* name : kWipedFiles) DeleteFileOrThrow(File(name));
}

bool SDK::KeyFilesLeft() const {
    for (const char* name : kWipedFiles)
        if (FileExists(File(name))) return true;
    return false;
}

}  // namespace keyvane
