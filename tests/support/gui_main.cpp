#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// GUI tests share one QApplication on the offscreen platform unless the caller
// asked for a real display (the end-to-end runs under Xvfb).
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Scan sessions go to a folder of the run's own, never the user's.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
