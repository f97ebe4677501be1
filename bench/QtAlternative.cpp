#include "QtAlternative.h"

#include "ProcessProbe.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QUuid>

namespace {

// {"args":["<fill>"],"name":"<name>"} (QJsonDocument writes keys in order) is `size` bytes.
QString Fill(const QString& name, int size)
{
    return QString(qMax(0, size - name.size() - 23), QLatin1Char('x'));
}

}  // namespace

QtAlternative::QtAlternative(const QString& clientPath, QObject* parent)
    : EndToEndBench(parent), m_clientPath(clientPath)
{
}

QtAlternative::~QtAlternative()
{
    if (m_socket)
        m_socket->disconnectFromServer();
    if (m_process)
        m_process->waitForFinished(10000);
}

QByteArray QtAlternative::Frame(const QString& name, const QJsonArray& args)
{
    const QByteArray payload = QJsonDocument(QJsonObject{{"name", name}, {"args", args}}).toJson(QJsonDocument::Compact);
    QByteArray frame(4, '\0');
    for (int i = 0; i < 4; ++i)
        frame[i] = char(unsigned(payload.size()) >> (8 * i));
    return frame + payload;
}

bool QtAlternative::Launch(std::unique_ptr<QProcess>* process, QLocalSocket** socket)
{
    if (!m_server) {
        m_server = new QLocalServer(this);
        if (!m_server->listen(QStringLiteral("kkbench-") + QUuid::createUuid().toString(QUuid::WithoutBraces)))
            return false;
    }
    process->reset(new QProcess);
    (*process)->setProcessChannelMode(QProcess::ForwardedChannels);
    (*process)->setStandardInputFile(QProcess::nullDevice());
    (*process)->start(m_clientPath, {m_server->fullServerName()});
    if (!Pump([&] { return m_server->hasPendingConnections(); }, kWaitMs))
        return false;
    *socket = m_server->nextPendingConnection();
    connect(*socket, &QLocalSocket::readyRead, this, &QtAlternative::OnReadyRead);
    return true;
}

bool QtAlternative::Start()
{
    const int startups = m_startups;
    m_buffer.clear();
    return Launch(&m_process, &m_socket) && Pump([&] { return m_startups > startups; }, kWaitMs);
}

qint64 QtAlternative::ClientPid() const
{
    return m_process ? m_process->processId() : 0;
}

void QtAlternative::Send(const QString& name, const QJsonArray& args)
{
    m_socket->write(Frame(name, args));
}

void QtAlternative::OnReadyRead()
{
    auto* socket = qobject_cast<QLocalSocket*>(sender());
    if (socket != m_socket)
        return;
    m_buffer += socket->readAll();
    int offset = 0;
    while (m_buffer.size() - offset >= 4) {
        const auto* p = reinterpret_cast<const unsigned char*>(m_buffer.constData() + offset);
        const int length = int(p[0] | p[1] << 8 | p[2] << 16 | unsigned(p[3]) << 24);
        if (m_buffer.size() - offset - 4 < length)
            break;
        Dispatch(m_buffer.mid(offset + 4, length));
        offset += 4 + length;
    }
    m_buffer.remove(0, offset);
}

// The host's callback for the client's messages, by name.
void QtAlternative::Dispatch(const QByteArray& payload)
{
    const QJsonObject message = QJsonDocument::fromJson(payload).object();
    const QString name = message.value(QStringLiteral("name")).toString();
    const QJsonArray args = message.value(QStringLiteral("args")).toArray();
    if (name == QLatin1String("StartupCompleted")) {
        ++m_startups;
    } else if (name == QLatin1String("ChangeStatusCallback")) {
        StatusReported(args.at(0).toInt());
    } else if (name == QLatin1String("BaseInfoChanged")) {
        ++m_baseInfoCount;
    }
}

void QtAlternative::RequestStatus(int status)
{
    Send(QStringLiteral("ChangeStatus"), {status});
}

double QtAlternative::HostToClient(int count, int payloadSize, Cost* cost, bool countSyscalls)
{
    const QString fill = Fill(QStringLiteral("NotifyChanged"), payloadSize);
    std::unique_ptr<SyscallCounter> hostCalls, clientCalls;
    if (countSyscalls) {
        hostCalls.reset(new SyscallCounter(QCoreApplication::applicationPid()));
        clientCalls.reset(new SyscallCounter(ClientPid()));
    }
    const double hostCpu0 = ProcessProbe::SelfCpuSeconds();
    const double clientCpu0 = ProcessProbe::CpuSeconds(ClientPid());
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i)
        Send(QStringLiteral("NotifyChanged"), {fill});
    const bool delivered = Barrier();
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (cost) {
        cost->hostCpuSeconds = ProcessProbe::SelfCpuSeconds() - hostCpu0;
        cost->clientCpuSeconds = ProcessProbe::CpuSeconds(ClientPid()) - clientCpu0;
        if (countSyscalls) {
            cost->hostSyscalls = hostCalls->Stop();
            cost->clientSyscalls = clientCalls->Stop();
        }
    }
    return delivered ? seconds : -1;
}

double QtAlternative::ClientToHost(int count, int payloadSize)
{
    const long long target = m_baseInfoCount + count;
    QElapsedTimer clock;
    clock.start();
    Send(QStringLiteral("Flood"), {count, payloadSize});
    if (!Pump([&] { return m_baseInfoCount >= target; }, kWaitMs))
        return -1;
    return clock.nsecsElapsed() / 1e9;
}

QVector<double> QtAlternative::LaunchToReady(int samples)
{
    QVector<double> results;
    for (int i = 0; i < samples; ++i) {
        std::unique_ptr<QProcess> process;
        QLocalSocket* socket = nullptr;
        QLocalSocket* main = m_socket;
        const int startups = m_startups;
        QElapsedTimer clock;
        clock.start();
        if (Launch(&process, &socket)) {
            m_socket = socket;  // its messages count while it is the one we listen to
            if (Pump([&] { return m_startups > startups; }, kWaitMs))
                results.append(clock.nsecsElapsed() / 1e6);
            socket->disconnectFromServer();
            process->waitForFinished(kWaitMs);
            socket->deleteLater();
        }
        m_socket = main;
    }
    return results;
}

qint64 QtAlternative::PeakMemoryWhileQueued(int count, int payloadSize, bool* allDelivered)
{
    // The client stops reading for a while; everything written meanwhile waits in this process.
    Send(QStringLiteral("Stall"), {1500});
    m_socket->waitForBytesWritten(1000);
    const QString fill = Fill(QStringLiteral("NotifyChanged"), payloadSize);
    ProcessProbe::ReleaseFreeMemory();
    ProcessProbe::ResetPeak();
    const qint64 before = ProcessProbe::ResidentKiB();
    for (int i = 0; i < count; ++i)
        Send(QStringLiteral("NotifyChanged"), {fill});
    const qint64 growth = ProcessProbe::PeakResidentKiB() - before;
    *allDelivered = Barrier();
    return growth;
}
