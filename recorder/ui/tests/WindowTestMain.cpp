// The window tests run in one QApplication on Qt's offscreen platform (no
// display, no window manager) unless QT_QPA_PLATFORM names another one, for
// example xcb under xvfb-run.
#include "platform/testing/ResidentModule.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Every test loads and unloads the simulated receiver's layer and the
    // multiplexer module; both stay mapped (see KeepResident).
    for (const char *module : {"/libaspi-virtual.so", "/libremuxer.so"})
        quelmar::testing::KeepResident(std::string(QUELMAR_BIN_DIR) + module);
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time, in every build) needs no Qt.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
