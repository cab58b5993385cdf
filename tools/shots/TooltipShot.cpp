// A playlist row's tooltip after a scan of a demo image: size, duration and
// the fragment's first picture.

#include "Shots.h"

#include "app/MainWindow.h"
#include "app/panels/PlayListModel.h"
#include "disk/widget.h"
#include "tools/imagegen/ImageGen.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QToolTip>

#include <cstdio>

CORVO_SHOT("tooltip", "a playlist row's tooltip with duration and thumbnail (needs ffmpeg)")
(MainWindow& window, const QStringList& images)
{
    static QTemporaryDir dir;
    QString path = images.value(0);
    if (path.isEmpty()) {
        path = dir.filePath("recorder-ch02.img");
        imagegen::Truth truth;
        QString error;
        if (!imagegen::generateDemoImage(path, 64LL << 20, 7, 60, &truth, &error)) {
            std::fprintf(stderr, "tooltip: %s\n", qPrintable(error));
            return;
        }
    }
    scanTargetList() = {ScanTarget{QFileInfo(path).absoluteFilePath(), QFileInfo(path).size(), 0}};
    shots::invoke(window, "AddScanDetailInfo");
    shots::invoke(window, "ScanStartClicked");
    auto* playlist = shots::find<DropTableView>(window, "playlistView");
    shots::waitFor([&] { return playlist->model()->rowCount() >= 5; }, 60000);
    shots::settle(1500);

    const QModelIndex ix = playlist->model()->index(1, 1);
    QString tip;
    shots::waitFor([&] {
        tip = playlist->model()->data(ix, Qt::ToolTipRole).toString();
        return tip.contains("<img");
    }, 30000);
    const QRect cell = playlist->visualRect(ix);
    playlist->setCurrentIndex(ix);
    QToolTip::showText(playlist->viewport()->mapToGlobal(cell.center() + QPoint(20, 10)), tip, playlist->viewport());
    shots::settle(800);
}
