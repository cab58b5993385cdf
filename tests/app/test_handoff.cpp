// A second start's FILE.session arguments reach the running window's server.
#include "app/SessionHandOff.h"
#include "support/WaitFor.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

TEST(SessionHandOff, FilesReachTheListeningWindowAndNoListenerIsAnError)
{
    QTemporaryDir dir;
    const QString name = corvoHandOffName(dir.filePath("CorvoTKL.lock"));
    EXPECT_TRUE(name.endsWith("/CorvoTKL.socket"));
    QString why;
    EXPECT_FALSE(corvoSendSessionFiles(name, {"a.session"}, &why));
    EXPECT_TRUE(why.contains("does not answer")) << why.toStdString();

    SessionHandOffServer server;
    ASSERT_TRUE(server.listen(name, &why)) << why.toStdString();
    QSignalSpy got(&server, &SessionHandOffServer::sessionFileReceived);
    ASSERT_TRUE(corvoSendSessionFiles(name, {"/x/a.session", "/y/b c.session"}, &why)) << why.toStdString();
    ASSERT_SOON_EQ(got.count(), 2, 10000);
    EXPECT_EQ(got[0][0].toString(), "/x/a.session");
    EXPECT_EQ(got[1][0].toString(), "/y/b c.session");
}
