#include "app/AppSetup.h"

#include "scan/SFragmentFit.h"
#include "scan/SSchedule.h"

#include <QApplication>
#include <QBrush>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>
#include <QPalette>
#include <QPixmap>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initCorvoResourceFile() { Q_INIT_RESOURCE(resources); }

void corvoInitResources()
{
    static bool done = false;
    if (!done) {
        initCorvoResourceFile();
        done = true;
    }
}

void corvoPreferX11Platform()
{
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
}

namespace {

// Families the style sheets name that Linux does not have.
const char* const kWindowsFamilies[] = {"SimSun", "宋体", "微软雅黑", "Microsoft YaHei"};

// CJK faces Debian ships, best first. fonts-wqy-microhei is the one the set-up installs.
const char* const kCjkFamilies[] = {"WenQuanYi Micro Hei", "Noto Sans CJK SC", "AR PL UMing CN",
                                    "WenQuanYi Zen Hei", "Droid Sans Fallback"};

void installFontSubstitutions()
{
    QStringList installed;
    const QStringList families = QFontDatabase().families();
    for (const char* f : kCjkFamilies) {
        const QString name = QString::fromUtf8(f);
        if (families.contains(name, Qt::CaseInsensitive))
            installed << name;
    }
    if (installed.isEmpty()) {
        std::fprintf(stderr, "CorvoTKL: no CJK font installed (fonts-wqy-microhei); Chinese texts may not render\n");
        return;
    }
    for (const char* f : kWindowsFamilies)
        QFont::insertSubstitutions(QString::fromUtf8(f), installed);
}

// File dialogs and standard buttons in the window's language.
void installQtTranslations()
{
    static QTranslator translator;
    const QString dir = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
    if (translator.load(QStringLiteral("qtbase_zh_CN"), dir))
        QCoreApplication::installTranslator(&translator);
    else
        std::fprintf(stderr, "CorvoTKL: Qt's Chinese translations (qtbase_zh_CN.qm, package qttranslations5-l10n) "
                             "are not in %s; standard dialogs stay in English\n", qPrintable(dir));
}

} // namespace

void corvoInitApplication()
{
    corvoInitResources();

    qRegisterMetaType<SFragmentFit>("SFragmentFit");
    qRegisterMetaType<SFragmentFit>("SFragmentFit&");
    qRegisterMetaType<SSchedule>("SSchedule");
    qRegisterMetaType<SPlayListTableItem>("SPlayListTableItem");
    qRegisterMetaType<SFragmentBatch>("SFragmentBatch");
    qRegisterMetaType<qlonglong>("long long int");
    qRegisterMetaType<char>("char");

    installFontSubstitutions();
    installQtTranslations();

    QApplication::setWindowIcon(QIcon(QString(":/images/%1icon.ico").arg("TKL")));

    QFont font = QApplication::font();
    font.setPointSize(9);
    QApplication::setFont(font);
}

void corvoApplyWindowPalette(QWidget* window)
{
    QPalette palette = window->palette();
    palette.setBrush(QPalette::All, QPalette::Window, QBrush(QPixmap(":/images/bg.png")));
    window->setPalette(palette);
}

QString CorvoInstanceLock::defaultPath()
{
    const QString runtimeDir = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir())
        return QDir(runtimeDir).filePath("CorvoTKL.lock");
    return QString("/tmp/CorvoTKL-%1.lock").arg(::getuid());
}

CorvoInstanceLock::CorvoInstanceLock(const QString& path) : m_path(path)
{
    // O_CLOEXEC: the player and other children must not inherit the lock and
    // keep it after we are gone. O_NOFOLLOW: /tmp is shared with other users.
    const QByteArray native = QFile::encodeName(path);
    m_fd = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) {
        std::fprintf(stderr, "CorvoTKL: cannot open the instance lock %s: %s\n", native.constData(), std::strerror(errno));
        return;
    }
    int rc;
    do {
        rc = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        m_state = Acquired;
        return;
    }
    m_state = (errno == EWOULDBLOCK) ? HeldElsewhere : Unavailable;
    if (m_state == Unavailable)
        std::fprintf(stderr, "CorvoTKL: cannot lock %s: %s\n", native.constData(), std::strerror(errno));
    ::close(m_fd);
    m_fd = -1;
}

CorvoInstanceLock::~CorvoInstanceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
