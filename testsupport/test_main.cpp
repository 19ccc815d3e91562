// GoogleTest entry point shared by every test executable.
// A QApplication exists for the whole run so widget, painting and event-loop
// tests work; the offscreen platform is forced when nothing else was chosen.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
