// Main windows under test: each in its own temporary program folder, with the platform
// pieces that would wait for a person replaced by recorded, scripted answers.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QObject>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/frmMain.h"
#include "platform/platform.h"
#include "support/events.h"
#include "support/tempdir.h"

namespace keyvane::test {

class TestWindow {
  public:
    struct Options {
        std::string localIP = "127.0.0.1";
        // Runs on the empty program folder before start-up (to place port.dat, font.dat...).
        std::function<void(const std::string& folder)> beforeStart;
        // Replaces further platform pieces after the recording ones are in.
        std::function<void(Platform&)> adjust;
        bool show = true;
        bool fastTransfers = false;
    };

    TestWindow();
    explicit TestWindow(Options options);
    ~TestWindow();

    frmMain& win() { return *window_; }
    frmMain* operator->() { return window_.get(); }
    const std::string& folder() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // The control of that object name; fails the test when there is none.
    template <class T>
    T* find(const char* name) {
        T* w = window_->findChild<T*>(name);
        if (!w) ADD_FAILURE() << "no control " << name;
        return w;
    }
    // Clicks a button or triggers a menu entry by its object name.
    void click(const char* name);

    // What the program said, and the answers it gets.
    std::vector<std::string> messages;                  // message boxes, in order
    std::vector<std::string> confirmations;             // "Send Confirm" questions
    std::deque<bool> confirmAnswers;                    // empty: Yes
    std::deque<std::string> openFileNames;              // file-open dialog; empty: cancelled
    std::deque<std::optional<int32_t>> colorAnswers;    // empty: cancelled
    std::deque<std::optional<FontChoice>> fontAnswers;  // empty: cancelled
    std::string productPath;                            // the folder picker's answer
    int endProgramCalls = 0;

  private:
    TempDir dir_;
    std::unique_ptr<frmMain> window_;
};

// Runs `drive` on the next modal window as soon as it is shown (for windows opened by
// exec(), which only returns when they close).
void OnNextModal(std::function<void(QWidget* modal)> drive);

// The index of the first line a list shows.
int TopIndex(QListWidget* list);

}  // namespace keyvane::test
