// The command-line cipher tool's commands, kept apart from main() so that tests can
// run them in-process.
#include "tools/cipher_tool.h"

#include <sys/mman.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cipher/sdk.h"
#include "keys/seed.h"
#include "platform/folders.h"

namespace keyvane {

namespace {

constexpr const char* kHelp =
    R"(Usage: keyvane-cipher COMMAND ARGUMENTS

Commands:
  seed HOST_ADDRESS CLIENT_ADDRESS
      Print the connection seed that both peers derive from the waiting side's
      address (HOST_ADDRESS) and the connecting side's address (CLIENT_ADDRESS).
      Only the digits 1 to 9 count; any text gives 8 to 48 digits.

  keygen SEED FOLDER
      Write the key files k1.bin, k1.brs, k1.bcr, k2.bin, k3.bin, k4.bin, k5.bin
      and k6.dat for SEED into FOLDER. SEED must have 1 to 73 characters.

  encrypt FOLDER [SEED]
  decrypt FOLDER [SEED]
      Encipher or decipher standard input to standard output, byte for byte, with
      the key files in FOLDER. With SEED the key files are generated first, so the
      rotor-order schedule is that of a live connection. Without SEED the schedule
      is that of a program that has not generated keys since it started (all
      entries 0), which matches a live connection only if it never generated keys.

  wipe FOLDER
      Overwrite and delete the fifteen key and working files in FOLDER.

  --help
      Show this text.

FOLDER may be given with or without a trailing "/". On any failure (a missing
or corrupt key file, an unusable seed, a missing folder, wrong arguments) one
line goes to standard error and the exit status is 1.
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string FolderPath(const std::string& folder) {
    if (folder.empty() || !IsFolder(folder))
        throw FileError("folder not found: " + folder, folder, "folder not found");
    return folder.back() == '/' ? folder : folder + "/";
}

void Expect(const std::vector<std::string>& args, size_t min, size_t max) {
    if (args.size() - 1 < min || args.size() - 1 > max)
        throw UsageError("wrong arguments for " + args[0] + " (see --help)");
}

// The transform takes the input a piece of this size at a time.
constexpr size_t kPiece = 256 * 1024;

// A piece of the input in room that it keeps: no piece costs an allocation, nor
// filling the room before the read.
struct Piece {
    char* data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
    std::string_view view() const { return {data, size}; }
};

// The room of the three pieces in one mapping whose pages are made at once: touched one
// by one, each page cost a fault, a tenth of a run's processor time.
class Room {
  public:
    static constexpr size_t kBytes = 3 * kPiece;
    Room() {
        void* at = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (at == MAP_FAILED) throw std::runtime_error("out of memory for the pieces");
        at_ = static_cast<char*>(at);
    }
    ~Room() { ::munmap(at_, kBytes); }
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;
    char* Piece(int i) const { return at_ + static_cast<size_t>(i) * kPiece; }

  private:
    char* at_ = nullptr;
};

void ReadPiece(const ToolStreams& io, Piece& piece) {
    piece.size = io.read(piece.data, kPiece);
}

// A second thread that runs one errand at a time while the caller goes on. It lives
// for the whole transform: a thread started for every piece cost more than the errand.
class Helper {
  public:
    Helper() : thread_([this] { Serve(); }) {}
    ~Helper() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        stop_ = true;
        changed_.notify_all();
        lock.unlock();
        thread_.join();
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    void Start(std::function<void()> errand) {
        std::lock_guard lock(mutex_);
        errand_ = std::move(errand);
        busy_ = true;
        changed_.notify_all();
    }
    // Waits for the errand; what it threw is thrown here.
    void Finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

  private:
    // A condition variable rather than semaphores: those spun on sched_yield while
    // waiting, a system call each time.
    void Serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return busy_ || stop_; });
            if (stop_) return;
            lock.unlock();
            try {
                errand_();
            } catch (...) {
                failure_ = std::current_exception();
            }
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::function<void()> errand_;
    std::exception_ptr failure_;
    bool busy_ = false;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;  // last: it starts once the rest is there
};

// One string operation over the whole input, as EncryptString (DecryptString) would make
// it. The first piece runs even when empty, so a key state the machine cannot run with
// fails before anything is written. Then this thread runs the machine on one piece while
// the helper writes the piece before and reads the piece after: the machine's tables stay
// in this processor's cache from piece to piece.
void Transform(SDK& sdk, const ToolStreams& io, bool encipher) {
    sdk.StartStringOperation();
    const Room room;
    Piece done{room.Piece(0)}, work{room.Piece(1)}, next{room.Piece(2)};
    ReadPiece(io, done);
    sdk.RunMachine(done.data, done.size, encipher);
    if (!done.empty()) ReadPiece(io, work);
    if (work.empty()) {
        if (!done.empty()) io.write(done.view());
        return;
    }
    // Declared after the pieces, so it has finished with them before they go, also when
    // the machine throws.
    Helper helper;
    while (!work.empty()) {
        helper.Start([&] {
            io.write(done.view());
            ReadPiece(io, next);
        });
        sdk.RunMachine(work.data, work.size, encipher);
        helper.Finish();
        std::swap(done, work);
        std::swap(work, next);
    }
    io.write(done.view());
}

void Run(const std::vector<std::string>& args, const ToolStreams& io) {
    if (args.empty()) throw UsageError("no command given (see --help)");
    const std::string& cmd = args[0];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        io.write(kHelp);
        return;
    }
    SDK sdk;
    if (cmd == "seed") {
        Expect(args, 2, 2);
        io.write(ConnectionSeed(CombinedAddressText(true, args[1], args[2])) + "\n");
    } else if (cmd == "keygen") {
        Expect(args, 2, 2);
        sdk.AppFolder = FolderPath(args[2]);
        sdk.BuildKeyFiles(args[1]);
    } else if (cmd == "encrypt" || cmd == "decrypt") {
        Expect(args, 1, 2);
        sdk.AppFolder = FolderPath(args[1]);
        if (args.size() == 3) sdk.BuildKeyFiles(args[2]);
        Transform(sdk, io, cmd == "encrypt");
        sdk.FinishStringOperation();
    } else if (cmd == "wipe") {
        Expect(args, 1, 1);
        sdk.AppFolder = FolderPath(args[1]);
        sdk.WipeKeyFiles();
    } else {
        throw UsageError("unknown command \"" + cmd + "\" (see --help)");
    }
}

}  // namespace

int RunCipherTool(const std::vector<std::string>& args, const ToolStreams& io, std::string& err) {
    err.clear();
    try {
        Run(args, io);
        return 0;
    } catch (const std::exception& e) {
        err = e.what();
    } catch (...) {
        err = "unexpected failure";
    }
    // One line, whatever the message holds.
    for (char& c : err)
        if (c == '\n' || c == '\r') c = ' ';
    err = "keyvane-cipher: " + err + "\n";
    return 1;
}

}  // namespace keyvane
