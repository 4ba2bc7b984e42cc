// The window tests run in one QApplication on Qt's offscreen platform (no
// display, no window manager) unless QT_QPA_PLATFORM names another one, for
// example xcb under xvfb-run.
#include "platform/testing/ResidentModule.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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
    // Qt's own dialogs keep their history and column widths in the user's
    // configuration: a fresh folder per run, so that the tests neither
    // write into the user's files nor start from what an earlier run left.
    std::string config = std::string(QUELMAR_TEST_DIR) + "/ui-config.XXXXXX";
    if (!mkdtemp(config.data()))
        return EXIT_FAILURE;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    int status;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(config, ignored);
    return status;
}
