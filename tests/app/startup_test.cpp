#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TEST(StartUp, MissingPortDatIsCreatedWith7777) {
    TestWindow w;
    EXPECT_EQ(w->PortStr, "7777");
    EXPECT_EQ(ReadWholeFile(w.file("port.dat")), "7777\r\n");
}

}  // namespace
}  // namespace keyvane::test
