#pragma once
// corvotkl-cli's progress line, for the scan and for the export alike:
//   " 42%  1.20 GB of 3.00 GB  elapsed 00:01:05  left 00:01:30  18.5 MB/s  <tail>"
// drawn on a terminal only and rewritten in place.

#include "scan/CSchedule.h"

#include <QString>
#include <cstdio>

class TerminalProgress {
public:
    // Draws only when `shown` (the stream is a terminal); the clock starts now.
    TerminalProgress(FILE* out, bool shown, CorvoClock& clock = corvoSystemClock());

    // done of total bytes; the time left follows the rate so far.
    void draw(qint64 done, qint64 total, const QString& tail);
    // Takes the line away, if one is drawn, before other output.
    void clear();
    qint64 elapsedMs() const;
    bool shown() const { return m_shown; }

    // The line's text after elapsedMs.
    static QString text(qint64 done, qint64 total, qint64 elapsedMs, const QString& tail);
    // "999 B", "1.5 kB", "2.3 MB", "1.20 GB", "2.00 TB"
    static QString bytes(qint64 n);

private:
    FILE* m_out;
    bool m_shown;
    bool m_drawn = false;
    CorvoClock& m_clock;
    qint64 m_startMs;
};
