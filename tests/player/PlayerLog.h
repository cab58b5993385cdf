#pragma once
// Reading the recording stand-in's log (see fake_km2.cpp) and waiting for it.
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QThread>
#include <functional>
#include <vector>

struct PlayerStart {
    qint64 pid = 0;
    int othersAlive = -1;
    QStringList args;
};

struct PlayerLog {
    std::vector<PlayerStart> starts;
    QMap<qint64, QByteArray> stdinBytes;
    QMap<qint64, bool> stdinClosed;

    static PlayerLog read(const QString& path)
    {
        PlayerLog log;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return log;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> w = line.split(' ');
            if (w.size() >= 3 && w[0] == "start") {
                log.starts.push_back(PlayerStart{w[1].toLongLong(), w[2].toInt(), {}});
            } else if (w.size() == 4 && w[0] == "arg" && !log.starts.empty() &&
                       log.starts.back().pid == w[1].toLongLong()) {
                log.starts.back().args << QString::fromUtf8(w[3] == "-" ? QByteArray() : QByteArray::fromHex(w[3]));
            } else if (w.size() == 3 && w[0] == "in") {
                log.stdinBytes[w[1].toLongLong()] += QByteArray::fromHex(w[2]);
            } else if (w.size() == 2 && w[0] == "eof") {
                log.stdinClosed[w[1].toLongLong()] = true;
            }
        }
        return log;
    }
};

// Runs the event loop until pred holds or ms pass; returns pred's last value.
inline bool waitUntil(const std::function<bool()>& pred, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

inline bool processRunning(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = f.readAll();
    const int close = s.lastIndexOf(')');
    return close >= 0 && s.mid(close + 2, 1) != "Z";
}
