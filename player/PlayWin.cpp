#include "player/PlayWin.h"

#include "gui/Dialogs.h"
#include "disk/RequestingUser.h"
#include "player/PreviewFile.h"
#include "player/PreviewPlace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QProcess>
#include <QPushButton>
#include <QSpacerItem>
#include <QThread>
#include <QVBoxLayout>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace {
// The player and everything it starts end with the window, however the window
// ends: the kernel kills the player when we die (the death signal survives its
// exec into mplayer), and in a group of its own km2 takes its helpers along.
class PlayerProcess : public QProcess {
public:
    explicit PlayerProcess(QObject* parent) : QProcess(parent) {}
    void start(const QString& program, const QStringList& args, OpenMode mode)
    {
        m_parent = ::getpid();
        QProcess::start(program, args, mode);
    }

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != m_parent)
            ::_exit(1); // we died before the death signal was armed
    }

private:
    pid_t m_parent = 0;
};

QPushButton* makeIconButton(QWidget* parent, const char* objectName, const char* iconPath)
{
    auto* b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(objectName));
    QIcon icon;
    icon.addFile(QString::fromLatin1(iconPath), QSize(), QIcon::Normal, QIcon::Off);
    b->setIcon(icon);
    b->setIconSize(QSize(30, 30));
    b->setFlat(true);
    return b;
}
} // namespace

PlayWin::PlayWin(QWidget* parent) : QWidget(parent)
{
    setupUi();
    m_playerProcess = new PlayerProcess(this);
    // Makes PlayerWin a native window; the player draws into it by this id.
    m_playerWinId = PlayerWin->winId();
}

PlayWin::~PlayWin()
{
    endPreview(kPreviewEndWaitMs);
    // A player still running ends with the window.
    if (m_playerProcess->state() != QProcess::NotRunning) {
        m_playerProcess->kill();
        m_playerProcess->waitForFinished(5000);
    }
    // The per-user copy of the footage goes with the window.
    const QString folder = previewFolder();
    if (previewFolderIsPerUser(folder)) {
        QFile::remove(folder + QStringLiteral("/Tessaro"));
        QDir().rmdir(folder);
        QDir().rmdir(QFileInfo(folder).path());
    }
}

void PlayWin::setupUi()
{
    setObjectName(QStringLiteral("PlayWin"));
    resize(492, 410);
    setWindowTitle(QStringLiteral("Form"));

    verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    PlayerWin = new QWidget(this);
    PlayerWin->setObjectName(QStringLiteral("PlayerWin"));
    PlayerWin->setStyleSheet(QStringLiteral("QWidget{background-color:black;}"));
    verticalLayout->addWidget(PlayerWin);

    widget_2 = new QWidget(this);
    widget_2->setObjectName(QStringLiteral("widget_2"));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    policy.setHeightForWidth(widget_2->sizePolicy().hasHeightForWidth());
    widget_2->setSizePolicy(policy);

    horizontalLayout = new QHBoxLayout(widget_2);
    horizontalLayout->setSpacing(0);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    horizontalLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    PlayLast = makeIconButton(widget_2, "PlayLast", ":/images/backward.png");
    horizontalLayout->addWidget(PlayLast);
    StartOrPause = makeIconButton(widget_2, "StartOrPause", ":/images/play.png");
    horizontalLayout->addWidget(StartOrPause);
    Stop = makeIconButton(widget_2, "Stop", ":/images/stop.png");
    horizontalLayout->addWidget(Stop);
    pushButton_4 = makeIconButton(widget_2, "pushButton_4", ":/images/step.png");
    horizontalLayout->addWidget(pushButton_4);
    horizontalLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));

    verticalLayout->addWidget(widget_2);

    QMetaObject::connectSlotsByName(this);
}

void PlayWin::on_PlayLast_clicked() { emit signalPlayLast(); }
void PlayWin::on_StartOrPause_clicked() { emit signalStart(); }
void PlayWin::on_Stop_clicked() {}
void PlayWin::on_pushButton_4_clicked() { emit signalPlayNext(); }

QString PlayWin::previewFilePath()
{
    return previewFolder() + QStringLiteral("/Tessaro");
}

void PlayWin::stopPlayer()
{
    if (m_playerProcess->state() == QProcess::Running) {
        static const char kQuit[] = {'q', 'u', 'i', 't', ' ', '\n', ' '};
        m_playerProcess->write(kQuit, sizeof kQuit);
        m_playerProcess->close();
    }
}

void PlayWin::slotStartPlayForKM()
{
    const QString file = previewFilePath();
    const QStringList args{QStringLiteral("-slave"),
                           QStringLiteral("-quiet"),
                           QStringLiteral("-zoom"),
                           QStringLiteral("-vo"),
                           m_videoOutput,
                           QStringLiteral("-wid"),
                           QString::number(m_playerWinId),
                           QStringLiteral("-noborder"),
                           QStringLiteral("-autosync"),
                           QStringLiteral("30"),
                           QStringLiteral("-cache"),
                           QStringLiteral("8296"),
                           file};

    stopPlayer();
    QCoreApplication::processEvents(QEventLoop::AllEvents);

    // Our own player beside our executable; otherwise whatever the search path finds.
    const QString besideUs = QCoreApplication::applicationDirPath() + QStringLiteral("/km2");
    const QFileInfo info(besideUs);
    const QString program = info.isFile() && info.isExecutable() ? besideUs : QStringLiteral("km2");
    static_cast<PlayerProcess*>(m_playerProcess)->start(program, args, QIODevice::ReadWrite);
}

void PlayWin::PlayItem(SPlayListTableItem item)
{
    // Supersede a copy still running: it must neither rename over our file
    // nor start the player.
    m_previewWorkers.abortAll();

    const quint64 generation = ++m_previewGeneration;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto result = std::make_shared<PreviewResult>();
    const QString dir = previewFolder();
    std::shared_ptr<QMutex> renameLock = m_previewRenameLock;
    const SFragmentFit fragment = item.sFragmentFit;

    // Nothing of ours is reached from the copy but what it shares: it may
    // outlive this panel.
    QThread* thread = QThread::create([cancel, result, dir, renameLock, fragment] {
        if (!makePrivateFolder(dir, &result->message))
            return;
        *result = buildPreviewFile(fragment, dir, QStringLiteral("Tessaro"), kPreviewMaxBytes, cancel.get(),
                                   renameLock.get());
        QString error;
        if (result->status == PreviewResult::Written && !chownToRequestingUser(dir + QStringLiteral("/Tessaro"), &error))
            result->message = error;
    });
    connect(thread, &QThread::finished, this, [this, generation, result] { previewReady(generation, *result); });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    m_previewWorkers.add(thread, [cancel] { cancel->store(true); });
}

bool PlayWin::endPreview(int msecs)
{
    const bool ended = m_previewWorkers.release(msecs);
    if (!ended)
        std::printf("preview copy did not end in time; it ends by itself\n");
    return ended;
}

void PlayWin::previewReady(quint64 generation, const PreviewResult& result)
{
    if (!result.message.isEmpty())
        std::fprintf(stderr, "preview: %s\n", qPrintable(result.message));
    if (generation != m_previewGeneration || result.status == PreviewResult::Cancelled)
        return;
    // Some video despite skipped blocks plays; nothing at all is a failure
    // the user must see, and the previous fragment must not go on playing.
    if (result.status == PreviewResult::Failed || (result.bytes == 0 && !result.message.isEmpty())) {
        stopPlayer();
        dialogs().warning(window(), QStringLiteral("预览"),
                          QStringLiteral("无法预览：%1\n%2").arg(previewFilePath(), result.message), QMessageBox::Ok,
                          QMessageBox::Ok);
        return;
    }
    slotStartPlayForKM();
}
