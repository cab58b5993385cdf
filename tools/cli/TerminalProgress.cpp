#include "tools/cli/TerminalProgress.h"

#include "export/ExportCore.h"

#include <algorithm>

TerminalProgress::TerminalProgress(FILE* out, bool shown, CorvoClock& clock)
    : m_out(out), m_shown(shown), m_clock(clock), m_startMs(clock.nowMs())
{
}

qint64 TerminalProgress::elapsedMs() const { return std::max<qint64>(0, m_clock.nowMs() - m_startMs); }

QString TerminalProgress::bytes(qint64 n)
{
    const double v = double(n);
    if (v >= 1e12)
        return QString::number(v / 1e12, 'f', 2) + " TB";
    if (v >= 1e9)
        return QString::number(v / 1e9, 'f', 2) + " GB";
    if (v >= 1e6)
        return QString::number(v / 1e6, 'f', 1) + " MB";
    if (v >= 1e3)
        return QString::number(v / 1e3, 'f', 1) + " kB";
    return QString::number(n) + " B";
}

QString TerminalProgress::text(qint64 done, qint64 total, qint64 elapsedMs, const QString& tail)
{
    const qint64 ms = std::max<qint64>(1, elapsedMs);
    const SSchedule s = CSchedule::sample(done, total, int(ms / 1000));
    // Nothing to go by before the first byte and the first second.
    const QString left = done > 0 && ms >= 1000 ? ExportCore::hhmmss(s.remainingSeconds) : QStringLiteral("--:--:--");
    return QString::asprintf("%3d%%  %s of %s  elapsed %s  left %s  %.1f MB/s  %s", s.percent, qPrintable(bytes(done)),
                             qPrintable(bytes(total)), qPrintable(ExportCore::hhmmss(ms / 1000)), qPrintable(left),
                             double(done) / 1e3 / double(ms), qPrintable(tail));
}

void TerminalProgress::draw(qint64 done, qint64 total, const QString& tail)
{
    if (!m_shown)
        return;
    std::fprintf(m_out, "\r\033[K%s", qPrintable(text(done, total, elapsedMs(), tail)));
    std::fflush(m_out);
    m_drawn = true;
}

void TerminalProgress::clear()
{
    if (m_drawn) {
        std::fputs("\r\033[K", m_out);
        std::fflush(m_out);
    }
    m_drawn = false;
}
