#pragma once
// The preview area: the playback window, the playlist row it plays and the
// question asked before playing during a running scan. It reads the playlist
// through its model and sort proxy, never changes it.

#include "scan/SFragmentFit.h"

#include <QObject>

class CPlayListTableModel;
class PlayWin;
class QAbstractProxyModel;
class QWidget;

class PreviewPanel : public QObject {
    Q_OBJECT
public:
    // The playback window is a child of `window` (so the layout and the
    // window's close take it along).
    explicit PreviewPanel(QWidget* window);

    void setPlaylist(const CPlayListTableModel* model, const QAbstractProxyModel* proxy);
    PlayWin* playWin() const { return m_playWin; }

    // Choose a view row; play the chosen row; step over the displayed order;
    // play a double-clicked view row.
    void choose(int viewRow, int column);
    void play();
    void step(int direction);
    void playDoubleClicked(int viewRow);

    int currentPlayRow() const { return m_currentPlayRow; }
    const SPlayListTableItem& currentPlayItem() const { return m_currentPlayItem; }
    bool playConfirmed() const { return m_playConfirmed; }

signals:
    // The playback window's buttons.
    void previousWanted();
    void nextWanted();
    void startWanted();

private:
    int itemCount() const;

    const CPlayListTableModel* m_model = nullptr;
    const QAbstractProxyModel* m_proxy = nullptr;
    PlayWin* m_playWin = nullptr;
    int m_currentPlayRow = -1;
    SPlayListTableItem m_currentPlayItem;
    bool m_playConfirmed = false;
};
