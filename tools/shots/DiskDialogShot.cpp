// The disk dialog opened from the select-disk button, with the images given
// on the command line; and the notice shown when no disk of the machine can
// be read.

#include "Shots.h"

#include "app/MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

namespace {

QMessageBox* activeBox()
{
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

QAbstractButton* selectDiskButton(MainWindow& window)
{
    return shots::find<QAbstractButton>(window, "selectDiskButton");
}

} // namespace

CORVO_SHOT("disk-dialog", "the disk tree after the select-disk button, image rows ticked")
(MainWindow& window, const QStringList&)
{
    // Where no disk can be read a notice comes first: answer it as a user would.
    auto* dismiss = new QTimer(&window);
    QObject::connect(dismiss, &QTimer::timeout, [] {
        if (QMessageBox* box = activeBox()) {
            std::printf("corvotkl-shots: dismissed \"%s\"\n", qPrintable(box->text().left(40)));
            box->accept();
        }
    });
    dismiss->start(100);
    if (QAbstractButton* b = selectDiskButton(window))
        b->click();
    else
        shots::invoke(window, "SelectDisk");
    dismiss->stop();

    auto* dialog = shots::find<QDialog>(window, "diskDialog");
    if (!dialog || !shots::waitFor([&] { return dialog->isVisible(); }, 5000)) {
        std::fprintf(stderr, "corvotkl-shots: the disk dialog did not open (no disk and no image?)\n");
        return;
    }
    // Tick the image rows (the last top-level rows) to show a selection.
    if (auto* tree = shots::find<QTreeWidget>(window, "diskTree")) {
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = tree->topLevelItem(i);
            if (item->text(0).contains(QLatin1Char('/')))
                item->setCheckState(0, Qt::Checked);
        }
    }
    dialog->raise();
    dialog->activateWindow();
}

CORVO_SHOT("disk-notice", "the notice when the machine's disks cannot be read")
(MainWindow& window, const QStringList&)
{
    shots::grabWhen([] { return activeBox() != nullptr; }, 8000);
    if (QAbstractButton* b = selectDiskButton(window))
        b->click();
    else
        shots::invoke(window, "SelectDisk");
    std::fprintf(stderr, "corvotkl-shots: no notice: some disk of this machine can be read\n");
    std::exit(1);
}
