// How fast the playlist takes fragments while it is sorted, and how long the
// event loop is held while it does.
//
// A producer thread sends 100,000 fragments to MainWindow::slotAddPlayList,
// queued, the way scan threads do. The GUI thread runs a 1 ms timer; the
// longest gap between two of its ticks is the longest time the window could
// not answer the user. Modes:
//   signal  - fragments arrive as queued signals (rows of one turn are added together)
//   single  - the same rows through queued calls without a sender, one insertion each
//   batch   - the rows in batches the way a scan thread sends them: every 2 ms
//             (or 2,048 rows) a batch, merged into the one still unread
// and producers: "burst" sends as fast as it can, "paced" sends 20,000 rows/s
// (all 100,000 within the 5 s target). "lag" is the time from the last row
// sent to the last row shown.
//
// With all rows in, the "sort" step clicks each column's header once (a real
// press and release on the header, as the user does) and reports the longest
// gap of the timer during each click and the paint after it; then it selects
// every tenth row shown (sorted by position: scattered over arrival order)
// and deletes them with the window's delete command. "rss/row" is
// the growth of the resident set from before the window was made to the end
// of the feed, per row. "busy" is the most processor time the GUI thread
// spent between two ticks: on a machine shared with other work, a hold can be
// longer than the work this program did in it.
//
// Usage: bench_playlist_insert [rows] [mode ...] [burst|paced] [name|size] [sort]
// (without a feed or a column named, every one of them in turn)
#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QHeaderView>
#include <QTimer>
#include <atomic>
#include <functional>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <thread>

namespace {

class Producer : public QObject {
    Q_OBJECT
public:
    // The scan's hand-off: rows gathered, sent as a batch unless the one
    // sent last is still unread, which takes them in.
    void add(const SFragmentFit& f, int serial)
    {
        m_diskName = f.diskName;
        m_rows.add(SFragmentView(f), serial);
        if (m_rows.size() >= 2048 || !m_clock.isValid() || m_clock.elapsed() >= 2)
            send();
    }
    void send()
    {
        m_clock.start();
        if (m_rows.size() == 0)
            return;
        if (!m_last.appendUnlessFixed(m_rows)) {
            auto d = std::make_shared<SFragmentBatchData>();
            d->diskName = m_diskName;
            std::swap(d->pack, m_rows);
            m_last = SFragmentBatch(d);
            emit TransmitFragmentBatch(m_last);
        }
    }
signals:
    void TransmitAddFragmentList(SFragmentFit sFragmentFit, int i);
    void TransmitFragmentBatch(SFragmentBatch batch);

private:
    SFragmentPack m_rows; // gathered, not yet sent
    QByteArray m_diskName;
    SFragmentBatch m_last;
    QElapsedTimer m_clock;
};

struct Result {
    double seconds = 0;
    double lagMs = 0; // from the last row sent to the last row shown
    double maxHoldMs = 0;
    double maxBusyMs = 0;
    double clickHoldMs[4] = {}; // longest hold of a click on each column's header, all rows in
    double clickBusyMs[4] = {};
    double deleteHoldMs = 0; // deleting every tenth row shown, all rows in, sorted by position
    double deleteBusyMs = 0;
    double rssPerRow = 0;
    int rows = 0;
    bool finished = false;
};

// Processor time of the calling thread, in ms. A gap between ticks is the
// window held; on a loaded machine part of it is other processes' turn, so
// the GUI thread's own time in the gap is reported beside it ("busy").
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Resident set in bytes.
qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return 0;
}

// The longest gap between two ticks of `ticker` while `step` runs in the
// event loop and for 50 ms after it (the paint that follows).
double longestHold(QTimer& ticker, const std::function<void()>& step, double* busy)
{
    double hold = 0;
    QElapsedTimer sinceTick;
    double cpuAtTick = threadCpuMs();
    *busy = 0;
    auto tick = QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double cpu = threadCpuMs();
        hold = std::max(hold, sinceTick.nsecsElapsed() / 1e6);
        *busy = std::max(*busy, cpu - cpuAtTick);
        cpuAtTick = cpu;
        sinceTick.restart();
    });
    sinceTick.start();
    QTimer::singleShot(0, step);
    QElapsedTimer after;
    after.start();
    while (after.elapsed() < 50 || hold == 0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    QObject::disconnect(tick);
    return hold;
}

// A press and release on the middle of a header section.
void clickHeader(QHeaderView* header, int column)
{
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    QWidget* vp = header->viewport();
    QMouseEvent press(QEvent::MouseButtonPress, at, vp->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(vp, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, vp->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(vp, &release);
}

SFragmentFit makeFragment(std::mt19937_64& rng, int serial)
{
    SFragmentFit f;
    f.diskName = "sdb";
    f.formatCode = 14;
    f.totalBytes = qint64(rng() % (2000ull * 1048576ull));
    f.frameCount = 1;
    f.extents = std::make_shared<const SExtentList>(SExtentList{SExtent{serial * 4096LL, serial * 4096LL + 4096}});
    return f;
}

Result run(int rows, int sortColumn, const QString& mode, bool paced, bool sortClicks, double limitSeconds)
{
    const qint64 rssBefore = residentBytes();
    MainWindow window;
    window.show();
    auto* view = window.findChild<DropTableView*>("playlistView");
    view->sortByColumn(sortColumn, Qt::DescendingOrder);
    QApplication::processEvents();

    Producer producer;
    QObject::connect(&producer, SIGNAL(TransmitAddFragmentList(SFragmentFit, int)), &window,
                     SLOT(slotAddPlayList(SFragmentFit, int)), Qt::QueuedConnection);
    QObject::connect(&producer, SIGNAL(TransmitFragmentBatch(SFragmentBatch)), &window,
                     SLOT(slotAddFragmentBatch(SFragmentBatch)), Qt::QueuedConnection);

    Result res;
    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    double cpuAtTick = threadCpuMs();
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double cpu = threadCpuMs();
        res.maxHoldMs = std::max(res.maxHoldMs, sinceTick.nsecsElapsed() / 1e6);
        res.maxBusyMs = std::max(res.maxBusyMs, cpu - cpuAtTick);
        cpuAtTick = cpu;
        sinceTick.restart();
    });

    std::atomic<bool> stop{false};
    std::atomic<qint64> feedEndNs{0};
    clock.start();
    sinceTick.start();
    ticker.start();
    std::thread feeder([&] {
        std::mt19937_64 rng(7);
        for (int i = 1; i <= rows && !stop; ++i) {
            SFragmentFit f = makeFragment(rng, i);
            if (mode == "batch")
                producer.add(f, i);
            else if (mode == "signal")
                emit producer.TransmitAddFragmentList(f, i);
            else
                QMetaObject::invokeMethod(&window, "slotAddPlayList", Qt::QueuedConnection, Q_ARG(SFragmentFit, f),
                                          Q_ARG(int, i));
            // Row i is due at i / 20,000 s after the start.
            if (paced && i % 100 == 0) {
                const qint64 due = qint64(i) * 50000;
                const qint64 now = clock.nsecsElapsed();
                if (due > now)
                    std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
            }
        }
        producer.send();
        feedEndNs = clock.nsecsElapsed();
    });
    while (view->listModel->rowCount() < rows && clock.elapsed() < limitSeconds * 1000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    res.seconds = clock.nsecsElapsed() / 1e9;
    res.lagMs = feedEndNs ? (clock.nsecsElapsed() - feedEndNs) / 1e6 : 0;
    res.rows = view->listModel->rowCount();
    res.finished = res.rows >= rows;
    stop = true;
    feeder.join();
    QApplication::processEvents();
    // The clicks below are timed on their own.
    QObject::disconnect(&ticker, &QTimer::timeout, nullptr, nullptr);
    res.rssPerRow = res.rows ? double(residentBytes() - rssBefore) / res.rows : 0;
    if (sortClicks) {
        for (int column = 0; column < 4; ++column)
            res.clickHoldMs[column] =
                longestHold(ticker, [&] { clickHeader(view->horizontalHeader(), column); }, &res.clickBusyMs[column]);
        // A tenth of the rows, scattered over arrival order, deleted at once.
        QItemSelection tenth;
        for (int r = 0; r < view->model()->rowCount(); r += 10)
            tenth.select(view->model()->index(r, 0), view->model()->index(r, view->model()->columnCount() - 1));
        view->selectionModel()->select(tenth, QItemSelectionModel::ClearAndSelect);
        res.deleteHoldMs = longestHold(ticker, [&] { QMetaObject::invokeMethod(&window, "DeletItem"); }, &res.deleteBusyMs);
    }
    ticker.stop();
    // Let the view paint what it has, then drop the rest of the queue.
    QApplication::processEvents();
    return res;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SFragmentBatch>("SFragmentBatch");
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    QStringList modes;
    bool sortClicks = false;
    QList<bool> feeds;
    QList<int> columns;
    for (int i = 2; i < argc; ++i) {
        const QLatin1String arg(argv[i]);
        if (arg == QLatin1String("sort"))
            sortClicks = true;
        else if (arg == QLatin1String("burst") || arg == QLatin1String("paced"))
            feeds << (arg == QLatin1String("paced"));
        else if (arg == QLatin1String("name") || arg == QLatin1String("size"))
            columns << (arg == QLatin1String("name") ? 1 : 2);
        else
            modes << argv[i];
    }
    if (feeds.isEmpty())
        feeds = {false, true};
    if (columns.isEmpty())
        columns = {1, 2};
    if (modes.isEmpty())
        modes << "signal";

    std::printf("%-7s %-6s %-12s %9s %9s %11s %9s %12s %9s %9s   %s\n", "mode", "feed", "sorted by", "rows", "seconds",
                "rows/s", "lag ms", "max hold ms", "busy ms", "rss/row",
                sortClicks ? "click hold (busy) ms: chan name size pos, delete a tenth" : "");
    for (const QString& mode : modes) {
        for (bool paced : feeds) {
            for (int column : columns) {
                const Result r = run(rows, column, mode, paced, sortClicks, 600);
                std::printf("%-7s %-6s %-12s %9d %9.2f %11.0f %9.0f %12.1f %9.1f %9.0f", qPrintable(mode),
                            paced ? "paced" : "burst", column == 1 ? "name, desc" : "size, desc", r.rows, r.seconds,
                            r.rows / r.seconds, r.lagMs, r.maxHoldMs, r.maxBusyMs, r.rssPerRow);
                if (sortClicks) {
                    for (int c = 0; c < 4; ++c)
                        std::printf("   %6.1f (%5.1f)", r.clickHoldMs[c], r.clickBusyMs[c]);
                    std::printf("   %8.1f (%7.1f)", r.deleteHoldMs, r.deleteBusyMs);
                }
                std::printf("%s\n", r.finished ? "" : "  (stopped at the time limit)");
                std::fflush(stdout);
            }
        }
    }
    return 0;
}

#include "main.moc"
