#pragma once
// `corvotkl FILE.session` while a window runs: the second start hands the
// files to the running window over a local socket beside the instance lock,
// and ends.

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

// The socket's name for an instance lock path (…/CorvoTKL.lock -> …/CorvoTKL.socket).
QString corvoHandOffName(const QString& lockPath);

// In the second start. False with *why when no window took them.
bool corvoSendSessionFiles(const QString& name, const QStringList& files, QString* why);

// In the running window: emits each file handed over.
class SessionHandOffServer : public QObject {
    Q_OBJECT
public:
    explicit SessionHandOffServer(QObject* parent = nullptr);
    // A socket left by a killed instance is replaced. False with *why.
    bool listen(const QString& name, QString* why);

signals:
    void sessionFileReceived(QString file);

private:
    void onConnection();
    QLocalServer* m_server;
};
