#pragma once

#include "EndToEndBench.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

// The same job done the way a host developer would with Qt alone: QProcess launches a client
// (kk-bench-qtclient), QLocalServer/QLocalSocket carry the same frames (4-byte little-endian
// length, then the payload), messages are QJsonDocument objects {"name":...,"args":[...]}, and
// each message from the client is handed to a callback on the main thread.
//
// Lives on the main thread.
class QtAlternative : public EndToEndBench
{
    Q_OBJECT
public:
    explicit QtAlternative(const QString& clientPath, QObject* parent = nullptr);
    ~QtAlternative() override;

    bool Start();
    qint64 ClientPid() const override;

    double HostToClient(int count, int payloadSize, Cost* cost = nullptr, bool countSyscalls = false);
    double ClientToHost(int count, int payloadSize);
    // QProcess start to the client's first message, a new client each time: milliseconds.
    QVector<double> LaunchToReady(int samples);
    qint64 PeakMemoryWhileQueued(int count, int payloadSize, bool* allDelivered);

    static QByteArray Frame(const QString& name, const QJsonArray& args);

protected:
    void RequestStatus(int status) override;

private:
    bool Launch(std::unique_ptr<QProcess>* process, QLocalSocket** socket);
    void Send(const QString& name, const QJsonArray& args);
    void OnReadyRead();
    void Dispatch(const QByteArray& payload);

    QString m_clientPath;
    QLocalServer* m_server = nullptr;
    std::unique_ptr<QProcess> m_process;
    QLocalSocket* m_socket = nullptr;
    QByteArray m_buffer;
    // What the callback saw.
    int m_startups = 0;
    long long m_baseInfoCount = 0;
};
