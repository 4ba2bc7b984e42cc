// The window tests run in one QApplication on Qt's offscreen platform (no
// display, no window manager) unless QT_QPA_PLATFORM names another one, for
// example xcb under xvfb-run.
#include <QApplication>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Every test loads and unloads the simulated receiver's layer and the
    // multiplexer module. Unloading them unloads their libav dependencies,
    // whose libraries (pixman among them) lose their one-time allocations,
    // which the leak checker would count for every test. Keep both loaded.
    for (const char *module : {"/libaspi-virtual.so", "/libremuxer.so"})
        dlopen((std::string(QUELMAR_BIN_DIR) + module).c_str(), RTLD_NOW | RTLD_NODELETE);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
