#include "app/SessionHandOff.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

QString corvoHandOffName(const QString& lockPath)
{
    QString name = lockPath;
    if (name.endsWith(QLatin1String(".lock")))
        name.chop(5);
    return name + QStringLiteral(".socket");
}

bool corvoSendSessionFiles(const QString& name, const QStringList& files, QString* why)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(5000)) {
        *why = QStringLiteral("the running CorvoTKL does not answer at %1: %2").arg(name, socket.errorString());
        return false;
    }
    QByteArray message;
    for (const QString& f : files)
        message += QFileInfo(f).absoluteFilePath().toUtf8() + '\n';
    socket.write(message);
    if (!socket.waitForBytesWritten(5000)) {
        *why = QStringLiteral("cannot hand the files to the running CorvoTKL: %1").arg(socket.errorString());
        return false;
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(5000);
    return true;
}

SessionHandOffServer::SessionHandOffServer(QObject* parent) : QObject(parent), m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SessionHandOffServer::onConnection);
}

bool SessionHandOffServer::listen(const QString& name, QString* why)
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Only the instance holding the lock listens, so a socket there is stale.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        *why = m_server->errorString();
        return false;
    }
    return true;
}

void SessionHandOffServer::onConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        auto take = [this, socket, buffer] {
            *buffer += socket->readAll();
            int nl;
            while ((nl = buffer->indexOf('\n')) >= 0) {
                const QString file = QString::fromUtf8(buffer->left(nl));
                buffer->remove(0, nl + 1);
                if (!file.isEmpty())
                    emit sessionFileReceived(file);
            }
        };
        connect(socket, &QLocalSocket::readyRead, this, take);
        connect(socket, &QLocalSocket::disconnected, this, take);
        take();
    }
}
