#pragma once
// What the disk tree hands to the scan panel: one entry per ticked row.

#include <QList>
#include <QString>

struct ScanTarget {
    QString name;           // bare device name (sda, sda1) or an image path, never truncated
    qint64 endOffset = 0;   // exclusive end of the range
    qint64 startOffset = 0; // always 0 from the tree
};

// The process-wide selection list, rebuilt by every selection of the disk tree.
QList<ScanTarget>& scanTargetList();
