// libFuzzer target for everything a peer's bytes reach: the framer, the dispatcher, the
// cipher and the file handling, in a real program folder with real key files.
//
// An input is a script of steps. Each step starts with one byte; its value modulo 6
// picks the step:
//   0  a read: two bytes of length (little-endian), then that many bytes
//   1  an enciphered message: one byte picks "KY:", "CT:", "FB:" or "FB:RM:", two bytes
//      of length, then that many bytes of plain text; it arrives as one read of the tag,
//      the enciphered text and, for the block messages, the terminator "|"
//   2  the connection breaks and the peer connects again
//   3  this side sends a file (one byte picks one of three sizes); the pause after the
//      announcement runs the following steps as events that come in meanwhile
//   4  the rest of the input arrives as one read
//   5  the user connects to another peer (this side becomes the client); from the fifth
//      time in one input on, nothing
// A length that runs past the end of the input takes what is left.
//
// Received keys go to the current folder, so the target moves into its tree while an
// input runs: give it absolute paths (fuzz/run.sh does).
//
// After every step the bytes held for an unfinished message stay within the longest
// message the framer assembles. After every input nothing may exist in the temporary
// tree that was not there before, except received files (plain files directly in the
// receive folder), the cipher's key and working files, and received key files in the
// working folder; every file that was there keeps its content. At the end of an input,
// with everything still alive, the heap has grown by at most a multiple of its size.
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/MainState.h"
#include "app/MainView.h"
#include "cipher/sdk.h"
#include "keys/seed.h"
#include "link/Framer.h"
#include "link/Session.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/sock.h"
#include "transfer/FileTransfer.h"

namespace fs = std::filesystem;
using namespace keyvane;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "receive_fuzzer: %s\n", what.c_str());
    std::abort();
}

class FakeView : public MainView {
  public:
    std::vector<std::string> status, chat;
    std::string ip = "127.0.0.1", connect = "10.0.0.2", key, chatText;
    size_t bytes = 0;  // text held by both lists

    void UpdateList(const std::string& l) override {
        status.push_back(l);
        bytes += l.size();
    }
    void UpdateChatList(const std::string& l) override {
        chat.push_back(l);
        bytes += l.size();
    }
    std::string IPText() const override { return ip; }
    std::string ConnectText() const override { return connect; }
    void SetConnectText(const std::string& t) override { connect = t; }
    std::string KeyText() const override { return key; }
    void SetKeyText(const std::string& t) override { key = t; }
    std::string ChatText() const override { return chatText; }
    void SetChatText(const std::string& t) override { chatText = t; }
    void SetSendButtonsEnabled(bool) override {}
    void ShowProgress(bool) override {}
    void SetProgress(int) override {}
    void SetHourglass(bool) override {}
    void BumpSentBar() override {}
    void BumpRecvBar() override {}
    int SelectedVersion() const override { return 0; }
};

class FakeSock : public Sock {
  public:
    int state = sckClosed;
    std::string incoming;
    size_t sent = 0;

    std::string LocalIP() const override { return "127.0.0.1"; }
    int State() const override { return state; }
    void Listen() override { state = sckListening; }
    void Connect(const std::string&, const std::string&) override { state = sckConnected; }
    void Accept(intptr_t) override { state = sckConnected; }
    void SendData(const std::string& bytes) override {
        if (state != sckConnected) throw SockError("not connected");
        sent += bytes.size();
    }
    std::string GetData() override { return std::exchange(incoming, {}); }
    void Close() override { state = sckClosed; }
    void Flush(int) override {}

    void Receive(std::string bytes) {
        incoming = std::move(bytes);
        if (DataArrival) DataArrival(static_cast<int64_t>(incoming.size()));
    }
    void Lose() {
        state = sckClosed;
        if (Disconnected) Disconnected();
    }
};

// The temporary tree, made once: the program folder with its receive folder and key
// files, the working folder that received keys go to, files to send, and canaries.
struct Tree {
    std::string root, app, recv, cwd, outbox;
    std::map<std::string, std::string> keyFiles;  // name -> content after the handshake
    std::map<std::string, std::string> fixed;     // path -> content that must stay
    std::set<std::string> cipherNames;            // key and working files of the cipher
    std::vector<std::string> outFiles;

    Tree() {
        std::string tmpl = (fs::temp_directory_path() / "keyvane-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) Fail("mkdtemp failed");
        root = tmpl + "/";
        app = root + "app/";
        recv = app + "Recv/";
        cwd = root + "cwd/";
        outbox = root + "outbox/";
        for (const std::string& d : {app, recv, cwd, outbox}) fs::create_directory(d);
        WriteTextLines(root + "canary.txt", {"beside the program folder"});
        WriteTextLines(app + "canary.txt", {"beside the receive folder"});
        WriteTextLines(app + "port.dat", {"7777"});
        for (int size : {0, 999, 2500}) {
            std::string path = outbox + "f" + std::to_string(size) + ".bin";
            RecordFile f(path, 1);
            std::string data(static_cast<size_t>(size), '\0');
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
            if (!data.empty()) f.WriteRaw(1, data);
            f.Close();
            outFiles.push_back(path);
        }

        SDK sdk;
        sdk.AppFolder = app;
        sdk.BuildKeyFiles(ConnectionSeed(CombinedAddressText(true, "127.0.0.1", "10.0.0.2")));
        for (const auto& e : fs::directory_iterator(app)) {
            std::string name = e.path().filename().string();
            if (name[0] == 'k') keyFiles[name] = ReadWholeFile(e.path().string());
        }
        for (const char* n :
             {"k1.bin", "k1.brs", "k1.bcr", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat",
              "k1.tcr", "k1.trs", "k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt"})
            cipherNames.insert(n);
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            std::string path = e.path().string();
            if (e.is_regular_file() && !cipherNames.count(e.path().filename().string()))
                fixed[path] = ReadWholeFile(path);
        }
    }

    static bool IsKeyFileName(const std::string& name) {
        // "Key" + HHMMSS + optional "-n" + ".txt"
        if (name.size() < 13 || name.compare(0, 3, "Key") != 0) return false;
        if (name.compare(name.size() - 4, 4, ".txt") != 0) return false;
        for (size_t i = 3; i < 9; ++i)
            if (name[i] < '0' || name[i] > '9') return false;
        return true;
    }

    void Check(size_t announcedFiles) const {
        size_t received = 0;
        for (auto it = fs::recursive_directory_iterator(root);
             it != fs::recursive_directory_iterator(); ++it) {
            const fs::path p = it->path();
            const std::string path = p.string();
            const std::string parent = p.parent_path().string() + "/";
            const std::string name = p.filename().string();
            const auto status = fs::symlink_status(p);
            if (fixed.count(path)) continue;  // content checked below
            if (path + "/" == app || path + "/" == recv || path + "/" == cwd ||
                path + "/" == outbox)
                continue;
            if (parent == recv && fs::is_regular_file(status)) {
                ++received;
                continue;
            }
            if (parent == app && cipherNames.count(name) && fs::is_regular_file(status)) continue;
            if (parent == cwd && IsKeyFileName(name) && fs::is_regular_file(status)) continue;
            Fail("something appeared that may not: " + path);
        }
        if (received > announcedFiles)
            Fail(std::to_string(received) + " received files from " +
                 std::to_string(announcedFiles) + " announcements");
        for (const auto& [path, content] : fixed) {
            std::string now;
            try {
                now = ReadWholeFile(path);
            } catch (const FileError&) {
                Fail("gone: " + path);
            }
            if (now != content) Fail("changed: " + path);
        }
    }

    // Back to the state after the handshake, with nothing received.
    void Reset() const {
        for (const std::string& d : {recv, cwd}) {
            for (const auto& e : fs::directory_iterator(d)) fs::remove_all(e.path());
        }
        for (const std::string& n : cipherNames) {
            auto it = keyFiles.find(n);
            if (it == keyFiles.end()) {
                std::error_code ignored;
                fs::remove(app + n, ignored);
            } else {
                RecordFile f(app + n, 1);
                f.WriteRaw(1, it->second);
                f.Close();
                fs::resize_file(app + n, it->second.size());
            }
        }
    }
};

Tree& TheTree() {
    // Lives for the whole run. Removed when the run ends well; after a failure it stays
    // for a look.
    static Tree* tree = [] {
        auto* t = new Tree;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(TheTree().root, ignored);
        });
        return t;
    }();
    return *tree;
}

// The input, read step by step.
class Script {
  public:
    Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool AtEnd() const { return p_ == end_; }
    uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    size_t Length() {
        size_t lo = Byte();
        return lo | (size_t{Byte()} << 8);
    }
    std::string Bytes(size_t n) {
        n = std::min(n, static_cast<size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    std::string Rest() { return Bytes(static_cast<size_t>(end_ - p_)); }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

class Run {
  public:
    explicit Run(const Tree& tree) : tree_(tree) {
        sdk_.AppFolder = tree.app;
        st_.PortStr = "7777";
        st_.Recv = tree.recv;
        plat_.MsgBox = [this](const std::string& t) { view_.UpdateList("box: " + t); };
        plat_.TimeText = [this] { return TimeText(); };
        plat_.Sleep = [this](int) { ++seconds_; };
        plat_.DoEvents = [this] {
            // What arrives during the pause after "FL:" is handled there.
            if (depth_ < 2 && !script_->AtEnd()) Step();
        };
        plat_.WaitForEvents = [](int) {};
        plat_.EndProgram = [] {};
        plat_.LocalIP = [] { return std::string("127.0.0.1"); };
        session_ = std::make_unique<Session>(st_, view_, sdk_, plat_, sock_);
        transfer_ = std::make_unique<FileTransfer>(*session_);
        // Every announcement the dispatcher hands on may leave one received file.
        session_->files.OnFL = [this, onFL = session_->files.OnFL](const std::string& p) {
            ++announced_;
            if (onFL) onFL(p);
        };
        Accept();
        // The key files are those of the handshake with 10.0.0.2 (restored by Reset).
        st_.IsHost = true;
        view_.SetSendButtonsEnabled(true);
    }

    void Play(Script& script) {
        script_ = &script;
        while (!script.AtEnd() && !session_->Ended()) Step();
    }

    size_t announced() const { return announced_; }
    size_t listBytes() const { return view_.bytes; }

  private:
    std::string TimeText() const {
        const int s = seconds_ % 86400;
        char t[9];
        std::snprintf(t, sizeof t, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
        return t;
    }

    void Accept() {
        session_->WaitForConnect();
        sock_.ConnectionRequest(1);
    }

    void Read(std::string bytes) {
        if (bytes.empty()) return;
        sock_.Receive(std::move(bytes));
        if (!session_->Ended() && session_->PendingBytes() > Framer::kMaxEndMessage)
            Fail("the framer holds " + std::to_string(session_->PendingBytes()) + " bytes");
    }

    void Step() {
        ++depth_;
        try {
            Steps();
        } catch (const std::exception& e) {
            // The window shows what reaches a handler and goes on.
            view_.UpdateList(std::string("box: ") + e.what());
        }
        --depth_;
    }

    void Steps() {
        Script& s = *script_;
        switch (s.Byte() % 6) {
            case 0:
                Read(s.Bytes(s.Length()));
                break;
            case 1: {
                static const char* const kTags[] = {"KY:", "CT:", "FB:", "FB:RM:"};
                const int t = s.Byte() % 4;
                std::string text = s.Bytes(s.Length());
                try {
                    sdk_.EncryptString(text);
                } catch (const std::exception&) {
                    // The key files are gone (a hang-up wiped them): send it as it is.
                }
                Read(kTags[t] + text + (t >= 2 ? "|" : ""));
                break;
            }
            case 2:
                sock_.Lose();
                Accept();
                break;
            case 3:
                transfer_->SendFile(tree_.outFiles[s.Byte() % tree_.outFiles.size()], 0);
                break;
            case 4:
                Read(s.Rest());
                break;
            default:
                // Each builds key files; a person does not click a thousand times.
                if (++connects_ <= 4) session_->Connect();
                break;
        }
    }

    const Tree& tree_;
    MainState st_;
    FakeView view_;
    SDK sdk_;
    Platform plat_;
    FakeSock sock_;
    std::unique_ptr<Session> session_;
    std::unique_ptr<FileTransfer> transfer_;
    Script* script_ = nullptr;
    int seconds_ = 12 * 3600;
    int depth_ = 0;
    int connects_ = 0;
    size_t announced_ = 0;
};

}  // namespace

// Received keys go to the current folder: the tree's for the length of one input, so
// that libFuzzer finds its own files where it was started.
class InFolder {
  public:
    explicit InFolder(const std::string& folder) : back_(::open(".", O_RDONLY | O_CLOEXEC)) {
        if (back_ < 0 || ::chdir(folder.c_str()) != 0) Fail("cannot enter " + folder);
    }
    ~InFolder() {
        if (::fchdir(back_) != 0) Fail("cannot go back to the starting folder");
        ::close(back_);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    int back_;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Tree& tree = TheTree();
    tree.Reset();
    InFolder inCwd(tree.cwd);
    const size_t before = __sanitizer_get_current_allocated_bytes();
    {
        Run run(tree);
        Script script(data, size);
        run.Play(script);
        if (run.listBytes() > 2 * size + 64 * 1024)
            Fail("the lists hold " + std::to_string(run.listBytes()) + " bytes");
        const size_t now = __sanitizer_get_current_allocated_bytes();
        // The session, its cipher tables and the lists; nothing that grows with the peer.
        if (now > before + 4 * size + (4 << 20))
            Fail("heap grew by " + std::to_string(now - before) + " bytes");
        tree.Check(run.announced());
    }
    return 0;
}
