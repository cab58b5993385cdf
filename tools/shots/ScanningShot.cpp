// A scan in progress: a generated recorder image, ticked in the disk dialog
// and started, caught midway with its progress, times and found fragments.

#include "Shots.h"

#include "gui/Dialogs.h"
#include "app/MainWindow.h"
#include "disk/Nyx.h"
#include "disk/widget.h"
#include "tools/imagegen/ImageGen.h"

#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <cstdio>
#include <memory>

namespace {

// The image sits in the page cache and would be read in a blink; a recorder
// disk is read at disk speed. Each read waits as a disk would.
class SlowDevice : public NyxCIOSystemDevice {
public:
    explicit SlowDevice(std::unique_ptr<NyxCIOSystemDevice> inner) : m_inner(std::move(inner)) {}
    int open(std::uint32_t access, int method) override { return m_inner->open(access, method); }
    std::int64_t readFrom(void* dst, std::int64_t offset, std::uint32_t count) override
    {
        QThread::msleep(15 + count / (1 << 20) * 30); // about 35 MB/s
        return m_inner->readFrom(dst, offset, count);
    }
    std::int64_t size() const override { return m_inner->size(); }
    int lastError() const override { return m_inner->lastError(); }

private:
    std::unique_ptr<NyxCIOSystemDevice> m_inner;
};

// The disk dialog tells that the machine's own disks cannot be read without
// administrator rights; the shot is about the scan, so that notice is only logged.
class NoticesToLog : public Dialogs {
public:
    QMessageBox::StandardButton information(QWidget*, const QString& title, const QString& text,
                                            QMessageBox::StandardButtons, QMessageBox::StandardButton) override
    {
        std::printf("scanning: notice %s: %s\n", qPrintable(title), qPrintable(text));
        return QMessageBox::Ok;
    }
};

} // namespace

CORVO_SHOT("scanning", "a scan in progress on a generated image (generates one when none is given)")
(MainWindow& window, const QStringList& images)
{
    static QTemporaryDir dir;
    QString image = images.value(0);
    if (image.isEmpty()) {
        // Without an image on the command line the tree has none to offer, so
        // the scenario hands the target over as the dialog's start button does.
        image = dir.path() + QStringLiteral("/recorder-ch01.img");
        QString error;
        if (!imagegen::generateImage(image, qint64(640) << 20, 20261207, nullptr, &error)) {
            std::fprintf(stderr, "scanning: %s\n", qPrintable(error));
            return;
        }
    }
    nyxSetDeviceFactory([](const QByteArray& devicePath) -> std::unique_ptr<NyxCIOSystemDevice> {
        return std::make_unique<SlowDevice>(nyxMakePosixDevice(nyxDevicePathToFile(devicePath)));
    });

    bool ticked = false;
    if (!images.isEmpty()) {
        static NoticesToLog notices;
        setDialogs(&notices);
        shots::invoke(window, "SelectDisk");
        auto* tree = shots::find<QTreeWidget>(window, "diskTree");
        shots::waitFor([&] { return tree && tree->topLevelItemCount() > 0; });
        for (QTreeWidgetItemIterator it(tree); tree && *it; ++it) {
            if ((*it)->toolTip(0) == image || (*it)->text(0) == image) {
                (*it)->setCheckState(0, Qt::Checked);
                ticked = true;
                break;
            }
        }
        shots::settle(400);
        if (ticked) {
            if (auto* start = shots::find<QPushButton>(window, "diskStartButton"))
                start->click();
        }
    }
    if (!ticked) {
        scanTargetList() = {ScanTarget{QFileInfo(image).absoluteFilePath(), QFileInfo(image).size(), 0}};
        shots::invoke(window, "AddScanDetailInfo");
        shots::invoke(window, "ScanStartClicked");
    }

    auto* table = shots::find<QTableWidget>(window, "scanTable");
    shots::waitFor(
        [&] {
            auto* bar = table ? qobject_cast<QProgressBar*>(table->cellWidget(0, 1)) : nullptr;
            return bar && bar->value() >= 35;
        },
        60000);
}
