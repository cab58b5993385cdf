// Which playlist row to play, the question asked while a scan runs, and the
// hand-over to the playback window.
#include "app/panels/PreviewPanel.h"

#include "gui/Dialogs.h"
#include "app/panels/PlayListModel.h"
#include "app/panels/ScanState.h"
#include "player/PlayWin.h"

#include <QAbstractProxyModel>

namespace {
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

// Next (+1, wrapping to the first) or Previous (-1, staying on the first),
// over the displayed order.
int steppedViewRow(int currentModelRow, int count, const CPlayListTableModel* model,
                   const QAbstractProxyModel* proxy, int step)
{
    int view = -1;
    if (currentModelRow >= 0 && currentModelRow < count)
        view = proxy->mapFromSource(model->index(currentModelRow, 0)).row();
    int next = view + step;
    if (next >= count || next < 0)
        next = 0;
    return next;
}
} // namespace

PreviewPanel::PreviewPanel(QWidget* window) : QObject(window)
{
    m_playWin = new PlayWin(window);
    connect(m_playWin, &PlayWin::signalPlayLast, this, &PreviewPanel::previousWanted);
    connect(m_playWin, &PlayWin::signalPlayNext, this, &PreviewPanel::nextWanted);
    connect(m_playWin, &PlayWin::signalStart, this, &PreviewPanel::startWanted);
}

void PreviewPanel::setPlaylist(const CPlayListTableModel* model, const QAbstractProxyModel* proxy)
{
    m_model = model;
    m_proxy = proxy;
}

int PreviewPanel::itemCount() const
{
    return m_model ? m_model->rowCount(QModelIndex()) : 0;
}

void PreviewPanel::choose(int row, int column)
{
    if (row >= itemCount() || row < 0 || !m_proxy)
        return;
    const QModelIndex source = m_proxy->mapToSource(m_proxy->index(row, column));
    if (!source.isValid())
        return;
    m_currentPlayRow = source.row();
    m_currentPlayItem = m_model->item(source.row());
}

void PreviewPanel::play()
{
    if (m_currentPlayRow < 0 || m_currentPlayRow >= itemCount())
        return;
    if (!m_playConfirmed && !playDuringScanConfirmed())
        return;
    // The copy taken when the row was chosen, even if the row changed since.
    m_playWin->PlayItem(m_currentPlayItem);
}

void PreviewPanel::step(int direction)
{
    const int count = itemCount();
    if (count == 0 || !m_proxy)
        return;
    choose(steppedViewRow(m_currentPlayRow, count, m_model, m_proxy, direction), 0);
    m_playWin->PlayItem(m_currentPlayItem);
}

void PreviewPanel::playDoubleClicked(int row)
{
    if (row >= itemCount() || row < 0 || !m_proxy)
        return;
    if (!playDuringScanConfirmed())
        return;
    choose(row, 0);
    const QModelIndex source = m_proxy->mapToSource(m_proxy->index(row, 0));
    if (!source.isValid())
        return;
    m_playWin->PlayItem(m_model->item(source.row()));
    m_playConfirmed = true;
}
