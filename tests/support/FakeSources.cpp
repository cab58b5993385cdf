#include "support/FakeSources.h"

#include <QMutexLocker>
#include <QThread>
#include <cerrno>
#include <cstring>

class FakeDevice : public NyxCIOSystemDevice {
public:
    FakeDevice(FakeSources* owner, QByteArray name, FakeSource source)
        : m_owner(owner), m_name(std::move(name)), m_source(std::move(source))
    {
    }
    int open(std::uint32_t access, int method) override
    {
        if (m_source.unopenable)
            return m_error = ENOENT;
        if (!m_source.file.isEmpty()) {
            m_inner = nyxMakePosixDevice(m_source.file);
            return m_error = m_inner->open(access, method);
        }
        return 0;
    }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        // The session's fingerprint samples (4 KiB, anywhere on the source)
        // are not the scan's reads, which come in chunks of megabytes.
        if (count > 65536) {
            m_owner->recordRead(m_name, offset);
            if (m_source.gate)
                m_source.gate->passGate();
        }
        if (m_source.delayMs > 0)
            QThread::msleep(ulong(m_source.delayMs));
        if (offset < m_source.badTo && offset + count > m_source.badFrom)
            return -(m_error = EIO);
        if (m_inner)
            return m_inner->readFrom(dst, offset, count);
        if (offset >= m_source.size)
            return 0;
        const std::int64_t n = qMin<std::int64_t>(count, m_source.size - offset);
        std::memset(dst, 0, size_t(n));
        return n;
    }
    std::int64_t size() const override { return m_inner ? m_inner->size() : m_source.size; }
    int lastError() const override { return m_inner ? m_inner->lastError() : m_error; }

private:
    FakeSources* m_owner;
    QByteArray m_name;
    FakeSource m_source;
    std::unique_ptr<NyxCIOSystemDevice> m_inner;
    int m_error = 0;
};

FakeSources::FakeSources()
{
    nyxSetDeviceFactory([this](const QByteArray& devicePath) -> std::unique_ptr<NyxCIOSystemDevice> {
        static const QByteArray prefix = nyxDevicePathForName(QByteArray());
        const QByteArray name = devicePath.startsWith(prefix) ? devicePath.mid(prefix.size()) : devicePath;
        QMutexLocker lock(&m_mutex);
        m_requested.append(devicePath);
        FakeSource source;
        auto it = m_sources.constFind(name);
        if (it == m_sources.constEnd())
            source.unopenable = true;
        else
            source = *it;
        return std::make_unique<FakeDevice>(this, name, source);
    });
}

FakeSources::~FakeSources()
{
    nyxSetDeviceFactory({});
    // A scan thread left holding at a gate must not outlive the test there.
    QMutexLocker lock(&m_mutex);
    for (const FakeSource& s : qAsConst(m_sources)) {
        if (s.gate)
            s.gate->gateReads(false);
    }
}

void FakeSources::add(const QByteArray& name, const FakeSource& source)
{
    QMutexLocker lock(&m_mutex);
    m_sources.insert(name, source);
}

QList<QByteArray> FakeSources::requestedPaths() const
{
    QMutexLocker lock(&m_mutex);
    return m_requested;
}

qint64 FakeSources::firstReadOffset(const QByteArray& name) const
{
    QMutexLocker lock(&m_mutex);
    return m_firstRead.value(name, -1);
}

void FakeSources::recordRead(const QByteArray& name, qint64 offset)
{
    QMutexLocker lock(&m_mutex);
    auto it = m_firstRead.find(name);
    if (it == m_firstRead.end())
        m_firstRead.insert(name, offset);
    else if (offset < *it)
        *it = offset;
}
