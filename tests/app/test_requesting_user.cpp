// Root started through pkexec acts for the user who asked: what it writes for
// them (exported and merged files, the preview cache) is theirs.
#include "export/ExportTestSupport.h"

#include "disk/RequestingUser.h"
#include "export/VideoInfo.h"
#include "player/PreviewPlace.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace exporttest;

namespace {
constexpr uint kNobody = 65534;

// The variable pkexec (the desktop entry) or sudo names the user in.
class ForUser : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "handing files to another user needs root";
        ASSERT_TRUE(m_tmp.isValid());
        qputenv(GetParam(), QByteArray::number(kNobody));
        ASSERT_TRUE(requestingUser().other) << "no user " << kNobody;
        m_image = QFile::encodeName(m_tmp.path() + "/disk.img");
        ASSERT_TRUE(writeFile(QFile::decodeName(m_image), patternBytes(1 << 16, 7)));
    }
    void TearDown() override { qunsetenv(GetParam()); }

    // Runs an export thread to its end.
    template <typename Thread>
    void run(Thread* thread)
    {
        QPointer<QThread> alive(thread);
        thread->start();
        while (alive && !thread->isFinished())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (alive)
            thread->wait();
    }

    QTemporaryDir m_tmp;
    QByteArray m_image;
};
} // namespace

TEST_P(ForUser, ExportedMergedAndPreviewFilesBelongToTheRequestingUser)
{
    const QList<SPlayListTableItem> rows{makeRow(m_image, {{0, 4096}}, 1), makeRow(m_image, {{8192, 9000}}, 2)};
    run(new SingleMegerThread(rows, m_tmp.path()));
    const QString merged = m_tmp.path() + "/all.TKL";
    run(new ManyMegerThread(rows, merged));
    const QString preview = m_tmp.path() + "/cache/corvotkl/thumb";
    QString error;
    ASSERT_TRUE(makePrivateFolder(preview, &error)) << qPrintable(error);

    QStringList files{merged, preview, m_tmp.path() + "/cache"};
    for (const SPlayListTableItem& row : rows)
        files << m_tmp.path() + "/" + ExportCore::singleFileName(row);
    for (const QString& f : files) {
        ASSERT_TRUE(QFileInfo::exists(f)) << qPrintable(f);
        EXPECT_EQ(QFileInfo(f).ownerId(), kNobody) << qPrintable(f);
    }
    // The folder the user chose stays as it was, and so does a source that
    // bears an export's name (the export refuses to write it).
    EXPECT_EQ(QFileInfo(m_tmp.path()).ownerId(), 0u);
    const SPlayListTableItem self = makeRow(m_image, {{0, 100}}, 3);
    const QString named = m_tmp.path() + "/" + ExportCore::singleFileName(self);
    ASSERT_TRUE(QFile::copy(QFile::decodeName(m_image), named));
    QFile aged(named); // a source recorded yesterday
    ASSERT_TRUE(aged.open(QIODevice::ReadWrite));
    ASSERT_TRUE(aged.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
    aged.close();
    run(new SingleMegerThread({makeRow(QFile::encodeName(named), {{0, 100}}, 3)}, m_tmp.path()));
    EXPECT_EQ(QFileInfo(named).ownerId(), 0u) << "a source was handed over";
}

INSTANTIATE_TEST_SUITE_P(StartedThrough, ForUser, ::testing::Values("PKEXEC_UID", "SUDO_UID"));
