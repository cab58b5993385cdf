#pragma once
// Sources for the scan panel tests, installed with nyxSetDeviceFactory():
// named sources that are slow (so a scan is surely still running when the
// test looks), that cannot be opened, or that wrap an image file, and a
// record of what each scan asked for.

#include "disk/Nyx.h"
#include "support/FaultDevice.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>

struct FakeSource {
    qint64 size = 0;       // bytes of zeros, unless file is set
    QByteArray file;       // an image file read through the real device
    int delayMs = 0;       // per read
    bool unopenable = false;
    qint64 badFrom = 0;    // reads touching [badFrom, badTo) fail with EIO
    qint64 badTo = 0;
    // The scan's reads first pass this plan's gate (FaultPlan::gateReads): a
    // read stuck on a failing disk for as long as the test holds it.
    std::shared_ptr<FaultPlan> gate;
};

class FakeSources {
public:
    FakeSources();  // installs the factory
    ~FakeSources(); // restores the real devices and opens the gates

    // name is what the scan target carries (the path holds "\\.\" + name).
    void add(const QByteArray& name, const FakeSource& source);

    // Device paths the scans asked for, in order.
    QList<QByteArray> requestedPaths() const;
    // Lowest offset the scan read from the named source, -1 if none.
    qint64 firstReadOffset(const QByteArray& name) const;

private:
    friend class FakeDevice;
    void recordRead(const QByteArray& name, qint64 offset);

    mutable QMutex m_mutex;
    QHash<QByteArray, FakeSource> m_sources;
    QList<QByteArray> m_requested;
    QHash<QByteArray, qint64> m_firstRead;
};
