#pragma once
// The playback panel: a black area the external player draws into, above
// four flat buttons that only emit signals (the main window decides what to
// play). Owns the player process and the preparation of the preview file.

#include "scan/OwnedWorkers.h"
#include "scan/SFragmentFit.h"

#include <QMutex>
#include <QString>
#include <QWidget>
#include <atomic>
#include <memory>

class QHBoxLayout;
class QProcess;
class QPushButton;
class QVBoxLayout;
struct PreviewResult;

class PlayWin : public QWidget {
    Q_OBJECT
public:
    explicit PlayWin(QWidget* parent = nullptr);
    ~PlayWin() override;

    // Makes the item's video the preview file, then restarts the player on it.
    // The copy runs on a worker; the player starts when it is done. A newer
    // PlayItem supersedes one still copying.
    void PlayItem(SPlayListTableItem item);

    // Asks the preview copy to end and waits up to msecs; one still running
    // then (stuck in a read of a failing disk) is let go and ends by itself.
    // false when one was let go. The destructor does this too.
    bool endPreview(int msecs);
    static constexpr int kPreviewEndWaitMs = 3000;

    // "Tessaro" in the preview folder: thumb/ beside the program in a build
    // tree, the user's cache for an installed program.
    static QString previewFilePath();

signals:
    void signalPlayLast();
    void signalPlayNext();
    void signalStart();

public slots:
    void slotStartPlayForKM();

private slots:
    void on_PlayLast_clicked();
    void on_StartOrPause_clicked();
    void on_Stop_clicked();
    void on_pushButton_4_clicked();

private:
    void setupUi();
    void previewReady(quint64 generation, const PreviewResult& result);
    // Quits a running player and waits for it to end.
    void stopPlayer();

    QVBoxLayout* verticalLayout = nullptr;
    QWidget* PlayerWin = nullptr;
    QWidget* widget_2 = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;
    QPushButton* PlayLast = nullptr;
    QPushButton* StartOrPause = nullptr;
    QPushButton* Stop = nullptr;
    QPushButton* pushButton_4 = nullptr;

    QProcess* m_playerProcess = nullptr;
    WId m_playerWinId = 0;
    QString m_videoOutput;

    OwnedWorkers m_previewWorkers;
    quint64 m_previewGeneration = 0;
    // Shared with the copies: one let go may still rename after we are gone.
    std::shared_ptr<QMutex> m_previewRenameLock = std::make_shared<QMutex>();
};
