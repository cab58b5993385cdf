// The main window's play commands: which playlist row to play, the question
// asked while a scan runs, and the hand-over to the playback panel.
#include "app/MainWindow.h"

#include "app/Dialogs.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/ScanState.h"
#include "player/PlayWin.h"

#include <QSortFilterProxyModel>

namespace {
int itemCount(const CPlayListTableModel* model) { return model ? model->rowCount(QModelIndex()) : 0; }

// Asked while a scan runs unpaused; false when the user declines.
bool playDuringScanConfirmed()
{
    if (cScanState != 'N')
        return true;
    const QMessageBox::StandardButton answer = dialogs().information(
        nullptr, QStringLiteral("提示 "), QStringLiteral("扫描过程中播放视频会影响扫描速度\n 确定播放吗?\n"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer != QMessageBox::No;
}
} // namespace

void MainWindow::buildPlayWin()
{
    m_playWin = new PlayWin(this);
    connect(m_playWin, &PlayWin::signalPlayLast, this, &MainWindow::slotUpStep);
    connect(m_playWin, &PlayWin::signalPlayNext, this, &MainWindow::slotDownStep);
    connect(m_playWin, &PlayWin::signalStart, this, &MainWindow::slotPlay);
}

void MainWindow::PlayListClicked(int row, int column)
{
    if (row >= itemCount(m_playlistModel) || row < 0 || !m_playlistProxy)
        return;
    const QModelIndex source = m_playlistProxy->mapToSource(m_playlistProxy->index(row, column));
    if (!source.isValid())
        return;
    m_currentPlayRow = source.row();
    m_currentPlayItem = m_playlistModel->item(source.row());
}

void MainWindow::slotPlay()
{
    if (m_currentPlayRow < 0 || m_currentPlayRow >= itemCount(m_playlistModel))
        return;
    if (!m_playConfirmed && !playDuringScanConfirmed())
        return;
    // The copy taken when the row was chosen, even if the row changed since.
    m_playWin->PlayItem(m_currentPlayItem);
}

// Next (+1, wrapping to the first) or Previous (-1, staying on the first),
// over the displayed order.
static int steppedViewRow(int currentModelRow, int count, const CPlayListTableModel* model,
                          const QSortFilterProxyModel* proxy, int step)
{
    int view = -1;
    if (currentModelRow >= 0 && currentModelRow < count)
        view = proxy->mapFromSource(model->index(currentModelRow, 0)).row();
    int next = view + step;
    if (next >= count || next < 0)
        next = 0;
    return next;
}

void MainWindow::slotDownStep()
{
    const int count = itemCount(m_playlistModel);
    if (count == 0 || !m_playlistProxy)
        return;
    PlayListClicked(steppedViewRow(m_currentPlayRow, count, m_playlistModel, m_playlistProxy, +1), 0);
    m_playWin->PlayItem(m_currentPlayItem);
}

void MainWindow::slotUpStep()
{
    const int count = itemCount(m_playlistModel);
    if (count == 0 || !m_playlistProxy)
        return;
    PlayListClicked(steppedViewRow(m_currentPlayRow, count, m_playlistModel, m_playlistProxy, -1), 0);
    m_playWin->PlayItem(m_currentPlayItem);
}

void MainWindow::slotDoubleClicked(QModelIndex index)
{
    PlayListDoubleClicked(index.row(), 0);
}

void MainWindow::PlayListDoubleClicked(int row, int column)
{
    Q_UNUSED(column); // any column plays its row
    if (row >= itemCount(m_playlistModel) || row < 0 || !m_playlistProxy)
        return;
    if (!playDuringScanConfirmed())
        return;
    PlayListClicked(row, 0);
    const QModelIndex source = m_playlistProxy->mapToSource(m_playlistProxy->index(row, 0));
    if (!source.isValid())
        return;
    m_playWin->PlayItem(m_playlistModel->item(source.row()));
    m_playConfirmed = true;
}
