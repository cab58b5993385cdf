#include <QCoreApplication>
#include <gtest/gtest.h>

#include "scan/SFragmentFit.h"
#include "scan/SSchedule.h"

// The scans deliver fragments by queued signal: they need an event loop.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SSchedule>("SSchedule");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
