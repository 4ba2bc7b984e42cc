// The window tests run in one QApplication on Qt's offscreen platform (no
// display, no window manager) unless QT_QPA_PLATFORM names another one, for
// example xcb under xvfb-run.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
