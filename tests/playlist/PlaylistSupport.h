#pragma once
// Fragments, real drags and menu answers for the playlist tests.

#include "app/panels/PlayListModel.h"
#include "scan/SFragmentFit.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include <ostream>

// Readable QString values in gtest messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace pltest {

inline quint32 packTime(int year, int month, int day, int hour, int minute, int second)
{
    return quint32(year - 2000) << 26 | quint32(month) << 22 | quint32(day) << 17 | quint32(hour) << 12 |
           quint32(minute) << 6 | quint32(second);
}

// A fragment of `bytes` bytes stored as one extent at `start` on `disk`.
inline SFragmentFit fragment(qint64 bytes, qint64 start = 0, const QByteArray& disk = "img")
{
    SFragmentFit f;
    f.diskName = disk;
    f.formatCode = 14;
    f.totalBytes = bytes;
    f.frameCount = 1;
    f.extents = std::make_shared<const SExtentList>(SExtentList{SExtent{start, start + bytes}});
    return f;
}

// Serials of the rows the view shows, top to bottom.
inline QList<int> shownSerials(const DropTableView* view)
{
    QList<int> serials;
    for (int r : view->displayedModelRows())
        serials.append(view->listModel->item(r).iSerial);
    return serials;
}

// Serials of the model's rows, in the model's own order.
inline QList<int> modelSerials(const CPlayListTableModel* model)
{
    QList<int> serials;
    for (const SPlayListTableItem& it : model->rows())
        serials.append(it.iSerial);
    return serials;
}

inline QString cell(const QAbstractItemModel* m, int row, int column)
{
    return m->data(m->index(row, column)).toString();
}

// Ctrl-clicks the given view rows, in order: the user's selection order.
inline void ctrlSelect(DropTableView* view, const QList<int>& viewRows)
{
    for (int r : viewRows) {
        const QRect rect = view->visualRect(view->model()->index(r, 1));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, rect.center());
    }
}

// Whether the platform carries drags between windows. The offscreen platform
// ends every QDrag at once; the suite runs again under Xvfb (xcb) for them.
inline bool realDrags() { return QGuiApplication::platformName() != QLatin1String("offscreen"); }

// A user's drag: press on view row `pressRow` of `from`, move out of the
// view (this starts the real QDrag, which runs its own event loop), move over
// `target` at `targetPos` and release there. Returns when the drag is over.
// Without a drag transport the press and the move out are still real; the
// drop is delivered the way the windowing system would deliver it.
inline void dragRowsTo(DropTableView* from, int pressRow, QWidget* target, QPoint targetPos)
{
    QWidget* vp = from->viewport();
    const QPoint press = from->visualRect(from->model()->index(pressRow, 1)).center();
    QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, press);

    const QPoint targetGlobal = target->mapToGlobal(targetPos);
    auto ended = std::make_shared<bool>(false);
    if (realDrags()) {
        QTimer::singleShot(30, target, [target, targetPos, targetGlobal] {
            QMouseEvent over(QEvent::MouseMove, targetPos, targetGlobal, Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(target, &over);
            QTimer::singleShot(30, target, [target, targetPos, targetGlobal] {
                QMouseEvent release(QEvent::MouseButtonRelease, targetPos, targetGlobal, Qt::LeftButton,
                                    Qt::NoButton, Qt::NoModifier);
                QApplication::sendEvent(target, &release);
            });
        });
        // Should the drag never end, Escape cancels it so the test fails instead of hanging.
        QTimer::singleShot(3000, [ended] {
            if (*ended)
                return;
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(qApp, &esc);
        });
    }
    const QPoint outsideView = vp->mapFrom(from, QPoint(from->width() + 15, from->height() / 2));
    QMouseEvent leave(QEvent::MouseMove, outsideView, vp->mapToGlobal(outsideView), Qt::NoButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(vp, &leave);
    *ended = true;
    if (!realDrags()) {
        QWidget* w = target;
        while (w && !qobject_cast<DropTableView*>(w))
            w = w->parentWidget();
        if (auto* to = qobject_cast<DropTableView*>(w))
            to->dropFrom(from);
        // A drag eats the release and hands it to the window under the pointer.
        QTest::mouseRelease(target, Qt::LeftButton, Qt::NoModifier, targetPos);
    }
    QApplication::processEvents();
}

// Runs `inMenu` on the popup menu the next blocking call opens.
inline void answerNextMenu(std::function<void(QMenu*)> inMenu)
{
    QTimer::singleShot(50, [inMenu] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        inMenu(menu);
        if (menu)
            menu->close();
    });
}

} // namespace pltest
