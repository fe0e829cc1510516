#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "platform/cp1252.h"
#include "support/loop_peer.h"
#include "sysfiles/SystemFiles.h"
#include "sysfiles/frmPathSelect.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

// Two connected peers; the products live in a Wine prefix of the test's own.
class SystemSet : public ::testing::Test {
  protected:
    void SetUp() override {
        oldCwd_ = fs::current_path();
        if (const char* p = std::getenv("WINEPREFIX")) oldPrefix_ = p;
        setenv("WINEPREFIX", wine_.path().c_str(), 1);
        ConnectPeers(a, b);
        a.view.status.clear();
    }
    void TearDown() override {
        fs::current_path(oldCwd_);
        if (oldPrefix_.empty())
            unsetenv("WINEPREFIX");
        else
            setenv("WINEPREFIX", oldPrefix_.c_str(), 1);
    }

    // Creates `names` (each holding its own name) in `folder`; returns the folder.
    static std::string Fill(const std::string& folder, std::initializer_list<const char*> names) {
        fs::create_directories(folder);
        for (const char* n : names) WriteFile(folder + "/" + n, std::string("content of ") + n);
        return folder + "/";
    }
    void Run() {
        a.systemFiles->SendSystemFiles();
        ASSERT_TRUE(RunUntil([&] { return a.Idle() && !b.transfer->State().ClientRecv(); }));
    }
    // The names announced in "FL:", in order.
    std::vector<std::string> Announced() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < a.sock.sent.size(); ++i)
            if (a.sock.sent[i].rfind("FL:", 0) == 0) out.push_back(a.sock.sent[i]);
        return out;
    }
    // Picks with the real window, driven by `drive` once it is shown.
    void PickWith(std::function<void(frmPathSelect*)> drive) {
        a.pick = [drive] {
            QTimer::singleShot(0, [drive] {
                drive(qobject_cast<frmPathSelect*>(QApplication::activeModalWidget()));
            });
            return ShowPathSelect(nullptr);
        };
    }

    test::TempDir wine_;
    LoopPeer a, b;
    fs::path oldCwd_;
    std::string oldPrefix_;
};

TEST_F(SystemSet, SendsTheEligibleFilesInListingOrder) {
    const std::string folder = Fill(wine_.file("drive_c/Veltra/System"),
                                    {"one.dat", "Pass.DAT", "pass.dat.bak", "two.bin"});
    fs::create_directories(folder + "sub");
    WriteFile(folder + ".hidden", "x");
    a.view.version = 1;
    Run();

    std::vector<std::string> expected;
    for (const std::string& n : ListPlainFiles(folder))
        if (n != "Pass.DAT") expected.push_back(n);
    ASSERT_EQ(expected.size(), 3u);
    ASSERT_FALSE(a.view.status.empty());
    EXPECT_EQ(a.view.status.front(), "Sending System Files (3 to do)");
    std::vector<std::string> sending, announced;
    for (const std::string& n : expected) {
        sending.push_back("Sending " + folder + n + "...");
        announced.push_back(("FL:" + n).substr(0, 6));
        EXPECT_EQ(ReadWholeFile(b.Recv(n)), "content of " + n);
    }
    std::vector<std::string> seen;
    for (const std::string& l : a.view.status)
        if (l.rfind("Sending /", 0) == 0) seen.push_back(l);
    EXPECT_EQ(seen, sending);
    EXPECT_EQ(Announced(), announced);
    EXPECT_EQ(a.view.Count("File Transferred."), 3);
    EXPECT_EQ(b.view.Count("File received."), 3);
    EXPECT_FALSE(fs::exists(b.Recv("Pass.DAT")));
    EXPECT_FALSE(a.systemFiles->SystemTransferInProgress());
    EXPECT_EQ(a.systemFiles->stmax(), 4);
    EXPECT_TRUE(a.boxes.empty());
}

TEST_F(SystemSet, RefusesWhatCannotBeSent) {
    // No version chosen: one box, nothing else.
    Run();
    EXPECT_EQ(a.boxes, std::vector<std::string>{"Select Version of Files to Transmit."});
    EXPECT_TRUE(a.view.status.empty());

    // Nothing in the folder (here: no folder at all): the count 0 and the folder named.
    a.boxes.clear();
    a.view.version = 3;
    Run();
    const std::string missing = wine_.file("drive_c/veltra/email99/system/");
    EXPECT_EQ(a.view.status, std::vector<std::string>{"Sending System Files (0 to do)"});
    EXPECT_EQ(a.boxes, std::vector<std::string>{"No files to send were found in " + missing + "."});

    // More than 1500 files: refused whole.
    a.boxes.clear();
    a.view.status.clear();
    const std::string chat = Fill(wine_.file("drive_c/veltra/chat/system"), {});
    for (int i = 0; i < 1501; ++i) WriteFile(chat + "f" + std::to_string(i), "");
    a.view.version = 4;
    Run();
    EXPECT_EQ(a.boxes, std::vector<std::string>{"There are more than 1500 files to send in " +
                                                chat + ". The set was not sent."});
    EXPECT_TRUE(a.view.status.empty());

    // Without a connection.
    a.boxes.clear();
    a.st.IsConnected = false;
    a.view.version = 5;
    Run();
    EXPECT_EQ(a.boxes, std::vector<std::string>{"You are not connected."});
    EXPECT_TRUE(a.sock.sent.empty());
}

TEST_F(SystemSet, RefusedWhileAFileIsBeingReceived) {
    Fill(wine_.file("drive_c/veltra/system"), {"a.dat"});
    a.view.version = 1;
    WriteFile(b.dir.file("big.bin"), RandomBytes(50000, 1));
    a.view.onLine = [&](const std::string& line) {
        if (line.rfind("Receiving File", 0) == 0) a.systemFiles->SendSystemFiles();
    };
    b.transfer->SendFile(b.dir.file("big.bin"), 0);
    ASSERT_TRUE(RunUntil([&] { return b.Idle() && !a.transfer->State().ClientRecv(); }));
    EXPECT_EQ(a.boxes, std::vector<std::string>{FileTransfer::kBusyText});
    EXPECT_TRUE(Announced().empty());
}

TEST_F(SystemSet, Version552ThroughThePicker) {
    test::TempDir work;
    fs::current_path(work.path());
    const std::string cwd = fs::canonical(work.path()).string();
    Fill(cwd + "/prog/System", {"p.dat", "syspref.dat"});
    Fill(cwd + "/SYSTEM", {"w.dat"});
    a.view.version = 2;

    PickWith([&](frmPathSelect* f) {
        f->OpenFolder(QString::fromStdString(cwd + "/prog"));
        f->Command1()->click();
    });
    Run();
    EXPECT_EQ(a.systemFiles->sys.ProductPath, cwd + "/prog/");
    EXPECT_TRUE(a.view.HasStatus("Sending " + cwd + "/prog/System/p.dat..."));
    EXPECT_EQ(a.view.Count("File Transferred."), 1);

    // The close box keeps the folder the picker opened on.
    PickWith([&](frmPathSelect* f) {
        f->OpenFolder(QString::fromStdString(cwd + "/prog"));
        f->close();
    });
    Run();
    EXPECT_TRUE(a.view.HasStatus("Sending " + cwd + "/SYSTEM/w.dat..."));

    const size_t sent = a.sock.sent.size();
    PickWith([](frmPathSelect* f) { f->Command2()->click(); });
    Run();
    EXPECT_EQ(a.boxes,
              std::vector<std::string>{
                  "You must define the path of Veltra 5.5.2 before you can transmit them."});
    EXPECT_EQ(a.sock.sent.size(), sent);
}

}  // namespace
}  // namespace keyvane::test
