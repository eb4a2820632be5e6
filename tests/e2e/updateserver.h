#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>

class QProcess;

// The update server of a test: updateserver.py serving a folder of its own on 127.0.0.1, on a
// port the system picked. See the script for the answers a query can ask for.
class UpdateServer : public QObject
{
    Q_OBJECT

public:
    explicit UpdateServer(QObject *parent = nullptr);
    ~UpdateServer() override;

    bool start(QString &error);
    QString folder() const;
    QString url(const QString &fileName, const QString &query = QString()) const;
    // Lets every stalled answer go on.
    bool release() const;

private:
    QTemporaryDir root;
    QProcess *process;
    QString port;
};
