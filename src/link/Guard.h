// Runs one event's handler for the window, keyvane-peer or the link. A failure that
// reaches it is told and goes no further: thrown into the event loop, it would end the
// program without the wipe of its key files.
#pragma once

#include <exception>
#include <string>

#include "platform/cp1252.h"

namespace keyvane {

// `tell` gets what failed, as Windows-1252 text.
template <class Handler, class Tell>
void Guard(const Handler& handler, const Tell& tell) {
    std::string what;
    try {
        handler();
        return;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
        what = "unknown error";
    }
    tell(Utf8ToCp1252(what));
}

}  // namespace keyvane
