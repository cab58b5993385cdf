#pragma once
// The playback panel: a black area the external player draws into, above
// four flat buttons that only emit signals (the main window decides what to
// play). Owns the player process and the preparation of the preview file.

#include "scan/SFragmentFit.h"

#include <QMutex>
#include <QString>
#include <QWidget>
#include <atomic>
#include <memory>
#include <vector>

class QHBoxLayout;
class QProcess;
class QPushButton;
class QThread;
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

    struct PreviewJob {
        QThread* thread = nullptr;
        std::shared_ptr<std::atomic<bool>> cancel;
    };
    std::vector<PreviewJob> m_previewJobs;
    quint64 m_previewGeneration = 0;
    QMutex m_previewRenameLock;
};
