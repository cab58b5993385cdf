#pragma once
#include <QMetaType>

// One progress sample of a running scan.
struct SSchedule {
    int percent = 0;
    int elapsedSeconds = 0;
    int remainingSeconds = 0;
};
Q_DECLARE_METATYPE(SSchedule)
