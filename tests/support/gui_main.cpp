#include <QApplication>
#include <gtest/gtest.h>

// GUI tests share one QApplication on the offscreen platform unless the caller
// asked for a real display (the end-to-end runs under Xvfb).
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
