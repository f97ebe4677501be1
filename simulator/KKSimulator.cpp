#include "simulator/KKSimulator.h"

#include "simulator/KKEventLog.h"
#include "simulator/KKFrameStream.h"
#include "simulator/KKScriptCommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtEndian>

#include <csignal>
#include <cstdlib>

namespace {

constexpr int kSayLimit = 200;  // characters of a text shown on stderr

QString Abbreviated(const QString& text)
{
    return text.size() > kSayLimit ? text.left(kSayLimit) + QStringLiteral("...") : text;
}

QJsonArray DescribeArgs(const QList<QVariant>& args)
{
    QJsonArray out;
    for (const QVariant& arg : args) {
        QJsonObject entry;
        switch (arg.userType()) {
        case QMetaType::Bool:
            entry = {{QStringLiteral("type"), QStringLiteral("b")}, {QStringLiteral("value"), arg.toBool()}};
            break;
        case QMetaType::Int:
            entry = {{QStringLiteral("type"), QStringLiteral("i")}, {QStringLiteral("value"), arg.toInt()}};
            break;
        case QMetaType::UInt:
            entry = {{QStringLiteral("type"), QStringLiteral("u")}, {QStringLiteral("value"), double(arg.toUInt())}};
            break;
        case QMetaType::QByteArray:
            entry = {{QStringLiteral("type"), QStringLiteral("y")},
                     {QStringLiteral("value"), QString::fromLatin1(arg.toByteArray().toBase64())}};
            break;
        default:
            entry = {{QStringLiteral("type"), QStringLiteral("s")}, {QStringLiteral("value"), arg.toString()}};
            break;
        }
        out.append(entry);
    }
    return out;
}

QSharedPointer<VXProcessMessage> Message(const QString& name, const QList<QVariant>& args)
{
    auto message = VXProcessMessage::Create(name);
    message->GetArgs() = args;
    return message;
}

}  // namespace

KKSimulator::KKSimulator(const KKSimulatorOptions& options, const KKClientEndpoint::Launch& launch, KKEventLog* log,
                         QObject* parent)
    : QObject(parent),
      m_options(options),
      m_launch(launch),
      m_log(log),
      m_endpoint(new KKClientEndpoint(this)),
      m_scriptTimer(new QTimer(this)),
      m_lifetimeTimer(new QTimer(this))
{
    m_scriptTimer->setSingleShot(true);
    m_lifetimeTimer->setSingleShot(true);
    connect(m_scriptTimer, &QTimer::timeout, this, &KKSimulator::OnScriptTimer);
    connect(m_lifetimeTimer, &QTimer::timeout, this, [this] { Finish(0, QStringLiteral("max-lifetime")); });
    connect(m_endpoint, &KKClientEndpoint::MessageReceived, this, &KKSimulator::OnMessage);
    connect(m_endpoint, &KKClientEndpoint::InvalidPayload, this, &KKSimulator::OnInvalid);
    connect(m_endpoint, &KKClientEndpoint::HostGone, this, &KKSimulator::OnHostGone);
}

KKSimulator::~KKSimulator() = default;

void KKSimulator::Start()
{
    using Mode = KKSimulatorOptions::Misbehaviour;
    m_log->Record(QStringLiteral("start"),
                  {{QStringLiteral("pid"), double(QCoreApplication::applicationPid())},
                   {QStringLiteral("writePipe"), m_launch.writePipe},
                   {QStringLiteral("readPipe"), m_launch.readPipe},
                   {QStringLiteral("hostVersion"), m_launch.version},
                   {QStringLiteral("misbehave"), KKSimulatorOptions::MisbehaviourName(m_options.misbehave)},
                   {QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments().mid(1))},
                   {QStringLiteral("workingDirectory"), QDir::currentPath()}});
    const int lifetime = m_options.EffectiveLifetimeMs();
    if (lifetime > 0)
        m_lifetimeTimer->start(lifetime);
    if (m_options.misbehave == Mode::CrashOnStart)
        Crash(QStringLiteral("crash-on-start"));
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::Start)
        Crash(m_options.DiePointName());
    if (m_options.misbehave == Mode::NeverConnect) {
        m_log->Say(QStringLiteral("not connecting (never-connect), exiting in %1 ms").arg(lifetime));
        return;
    }
    m_connectDeadline = QDeadlineTimer(m_options.connectTimeoutMs);
    TryConnect();
}

void KKSimulator::TryConnect()
{
    using Mode = KKSimulatorOptions::Misbehaviour;
    if (m_finished)
        return;
    int wanted = KKClientEndpoint::BothPipes;
    if (m_options.misbehave == Mode::WritePipeOnly)
        wanted = KKClientEndpoint::WritePipe;
    else if (m_options.misbehave == Mode::ReadPipeOnly)
        wanted = KKClientEndpoint::ReadPipe;
    // One pipe per Connect, so that the order is ours and a pause can come between the two.
    const int first = m_options.pipeOrder == KKSimulatorOptions::PipeOrder::ReadFirst ? KKClientEndpoint::ReadPipe
                                                                                        : KKClientEndpoint::WritePipe;
    const int pipe = (wanted & first) && !m_endpoint->IsOpen(KKClientEndpoint::Pipe(first)) ? first : wanted & ~first;
    const DWORD error = m_endpoint->Connect(m_launch, int(qMax<qint64>(0, m_connectDeadline.remainingTime())), pipe);
    if (error == ERROR_SUCCESS) {
        if (m_endpoint->IsOpen(KKClientEndpoint::Pipe(wanted)))
            OnConnected();
        else
            OnFirstPipeOpen();
        return;
    }
    // The pipes may not exist yet (a host that creates them after starting us, or between a
    // client leaving and the next start); WaitNamedPipeW cannot wait for a name nobody has made.
    if (error == ERROR_FILE_NOT_FOUND && !m_connectDeadline.hasExpired()) {
        if (!m_connecting)
            m_log->Say(QStringLiteral("waiting for the pipes to appear"));
        m_connecting = true;
        QTimer::singleShot(kConnectRetryMs, this, &KKSimulator::TryConnect);
        return;
    }
    m_log->Complain(QStringLiteral("cannot connect to %1 and %2: error %3")
                        .arg(m_launch.writePipe, m_launch.readPipe)
                        .arg(error));
    m_log->Record(QStringLiteral("connect-failed"), {{QStringLiteral("error"), double(error)}});
    Finish(1, QStringLiteral("connect-failed"));
}

void KKSimulator::OnFirstPipeOpen()
{
    if (m_options.betweenPipesMs == 0) {
        OpenSecondPipe();
        return;
    }
    const QString second = m_endpoint->IsOpen(KKClientEndpoint::WritePipe) ? QStringLiteral("read")
                                                                            : QStringLiteral("write");
    m_log->Say(QStringLiteral("opened the %1 pipe, the %2 pipe follows in %3 ms")
                   .arg(OpenPipes(), second)
                   .arg(m_options.betweenPipesMs));
    // A pause on purpose does not count against the time-out. Meanwhile messages are received
    // (and answers to them fail while the read pipe is closed).
    m_connectDeadline += m_options.betweenPipesMs;
    QTimer::singleShot(m_options.betweenPipesMs, this, &KKSimulator::OpenSecondPipe);
}

void KKSimulator::OpenSecondPipe()
{
    if (m_finished)
        return;  // the host went during the pause
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::BetweenPipes)
        Crash(m_options.DiePointName());
    TryConnect();
}

QString KKSimulator::OpenPipes() const
{
    return m_endpoint->IsOpen(KKClientEndpoint::BothPipes)   ? QStringLiteral("both")
           : m_endpoint->IsOpen(KKClientEndpoint::WritePipe) ? QStringLiteral("write")
           : m_endpoint->IsOpen(KKClientEndpoint::ReadPipe)  ? QStringLiteral("read")
                                                             : QStringLiteral("none");
}

void KKSimulator::OnConnected()
{
    using Mode = KKSimulatorOptions::Misbehaviour;
    m_connected = true;
    const QString pipes = OpenPipes();
    m_log->Record(QStringLiteral("connected"), {{QStringLiteral("pipes"), pipes}});
    m_log->Say(QStringLiteral("connected (%1 pipe%2)").arg(pipes, pipes == QLatin1String("both") ? "s" : ""));
    if (m_options.misbehave == Mode::CrashAfterConnect)
        Crash(QStringLiteral("crash-after-connect"));
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::Connected)
        Crash(m_options.DiePointName());
    switch (m_options.misbehave) {
    case Mode::Garbage:
        SendPayload(QByteArrayLiteral("this is not a message"));
        break;
    case Mode::BadFrame:
        // A negative length field (-1), then three bytes: no frame starts like that, and the
        // module must refuse it.
        SendBytes(QByteArray::fromHex("ffffffff626164"));
        break;
    case Mode::GarbageWrite:
        // No length field at all: the module reads "this" as a length of 1936287860 bytes.
        SendBytes(QByteArrayLiteral("this is not a frame, just text"));
        break;
    default:
        break;
    }
    if (!m_options.noStartup)
        SendStartup();
    if (m_options.misbehave == Mode::HugeFrame)
        SendHugeFrame();
    if (m_options.flood > 0)
        Flood();
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::MidFrame)
        DieMidFrame();
    RunScript();
}

void KKSimulator::OnMessage(QSharedPointer<VXProcessMessage> message, QByteArray payload)
{
    if (m_finished)
        return;
    // A message can be large and come many thousand times a second: describe it only for a
    // log or a terminal that will show it.
    if (m_log->IsRecording() || m_log->IsSpeaking()) {
        const QString text = QString::fromUtf8(payload);
        m_log->Record(QStringLiteral("received"), {{QStringLiteral("name"), message->GetName()},
                                                   {QStringLiteral("args"), DescribeArgs(message->GetArgs())},
                                                   {QStringLiteral("text"), text}});
        m_log->Say(QStringLiteral("received %1").arg(Abbreviated(text)));
    }
    DieIfNthReceived();
    Answer(message);
    CountReceived(message->GetName());
}

void KKSimulator::OnInvalid(QByteArray payload)
{
    if (m_finished)
        return;
    const QString text = QString::fromUtf8(payload);
    m_log->Record(QStringLiteral("invalid"), {{QStringLiteral("payload"), text}});
    m_log->Say(QStringLiteral("received a payload that is not a message: %1").arg(Abbreviated(text)));
    DieIfNthReceived();
    CountReceived(QString());
}

void KKSimulator::Answer(const QSharedPointer<VXProcessMessage>& message)
{
    const QString name = message->GetName();
    const QList<QVariant>& args = message->GetArgs();
    if (name == QLatin1String("Login")) {
        if (!m_options.ignoreLogin)
            SendStartup();
    } else if (name == QLatin1String("ChangeStatus")) {
        if (!args.isEmpty() && args.at(0).userType() == QMetaType::Int)
            SendMessage(Message(QStringLiteral("ChangeStatusCallback"), {args.at(0).toInt()}));
    } else if (name == QLatin1String("ChangeSkin")) {
        if (!args.isEmpty() && args.at(0).userType() == QMetaType::QByteArray) {
            const QJsonValue skin =
                QJsonDocument::fromJson(args.at(0).toByteArray()).object().value(QStringLiteral("skinName"));
            if (skin.isString())
                SendMessage(Message(QStringLiteral("ChangeSkin"), {skin.toString()}));
        }
    }
}

// Called once a payload is logged, before it is answered or counted.
void KKSimulator::DieIfNthReceived()
{
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::Received && m_received + 1 == m_options.dieAtReceived)
        Crash(m_options.DiePointName());
}

void KKSimulator::CountReceived(const QString& name)
{
    ++m_received;
    if (m_options.ackEvery > 0 && m_received % m_options.ackEvery == 0)
        SendMessage(Message(QStringLiteral("UnreadMessageChanged"), {m_received}));
    if (name.isNull())
        return;
    ++m_unclaimed[name];
    if (m_scriptState == ScriptState::Waiting && name == m_waitName) {
        --m_unclaimed[name];
        m_scriptTimer->stop();
        m_scriptState = ScriptState::Ready;
        RunScript();
    }
}

void KKSimulator::OnHostGone()
{
    if (m_finished)
        return;
    m_log->Record(QStringLiteral("host-gone"));
    m_log->Say(QStringLiteral("the host has gone"));
    Finish(0, QStringLiteral("host-gone"));
}

bool KKSimulator::SendMessage(const QSharedPointer<VXProcessMessage>& message)
{
    return SendPayload(message->ToString().toUtf8());
}

bool KKSimulator::SendPayload(const QByteArray& payload)
{
    const bool sent = m_endpoint->SendPayload(payload);
    if (m_log->IsRecording() || m_log->IsSpeaking() || !sent) {
        const QString text = QString::fromUtf8(payload);
        const QString event = sent ? QStringLiteral("sent") : QStringLiteral("send-failed");
        m_log->Record(event, {{QStringLiteral("text"), text}});
        m_log->Say(QStringLiteral("%1 %2").arg(sent ? QStringLiteral("sent") : QStringLiteral("could not send"),
                                                Abbreviated(text)));
    }
    return sent;
}

bool KKSimulator::SendBytes(const QByteArray& bytes)
{
    const QString hex = QString::fromLatin1(bytes.toHex());
    if (!m_endpoint->SendRawBytes(bytes)) {
        m_log->Record(QStringLiteral("send-failed"), {{QStringLiteral("bytes"), hex}});
        m_log->Say(QStringLiteral("could not send the bytes %1").arg(Abbreviated(hex)));
        return false;
    }
    m_log->Record(QStringLiteral("sent"), {{QStringLiteral("bytes"), hex}});
    m_log->Say(QStringLiteral("sent the bytes %1").arg(Abbreviated(hex)));
    return true;
}

void KKSimulator::SendStartup()
{
    const QString version =
        m_options.clientVersion.isEmpty() ? QStringLiteral(KOPKOP_SIM_VERSION) : m_options.clientVersion;
    SendMessage(Message(QStringLiteral("StartupCompleted"), {uint(QCoreApplication::applicationPid()), version}));
    if (m_options.dieAt == KKSimulatorOptions::DiePoint::Startup)
        Crash(m_options.DiePointName());
}

void KKSimulator::SendHugeFrame()
{
    // The length field alone as one pipe message, so the module knows the length before any
    // payload comes (and may end the connection right there); then the payload in 64 KiB pipe
    // messages. Each write blocks until the module has taken it and fails once the module has
    // closed the pipe, which ends the stream.
    const qint64 length = m_options.hugeLength;
    QByteArray field(KKFrameStream::kLengthSize, Qt::Uninitialized);
    qToLittleEndian<qint32>(m_options.hugeLength, field.data());
    bool ok = m_endpoint->SendRawBytes(field);
    const QByteArray filler(kHugeChunk, 'x');
    qint64 sent = 0;
    while (ok && sent < length) {
        const int chunk = int(qMin<qint64>(kHugeChunk, length - sent));
        ok = m_endpoint->SendRawBytes(chunk == kHugeChunk ? filler : filler.left(chunk));
        if (ok)
            sent += chunk;
    }
    m_log->Record(QStringLiteral("huge-frame"), {{QStringLiteral("length"), double(length)},
                                                 {QStringLiteral("sent"), double(sent)}});
    m_log->Say(QStringLiteral("announced a frame of %1 bytes, sent %2 of them").arg(length).arg(sent));
}

void KKSimulator::Flood()
{
    // Built by hand rather than through VXProcessMessage: the text form writes the number and a
    // padding of plain 'x' as they are, and a flood should cost the client little.
    const QByteArray filler(m_options.floodSize, 'x');
    const auto payloadOf = [&filler](int k) {
        QByteArray payload = QByteArrayLiteral("[\"UnreadMessageChanged\",\"i:") + QByteArray::number(k) + '"';
        // What the padding argument adds besides its 'x's: ,"s:  "  and the closing ].
        const int padding = filler.size() - payload.size() - 6;
        if (padding >= 0)
            payload.append(",\"s:").append(filler.constData(), padding).append('"');
        return payload.append(']');
    };
    int sent = 0;
    while (sent < m_options.flood && m_endpoint->SendPayload(payloadOf(sent + 1)))
        ++sent;
    m_log->Record(QStringLiteral("flood"), {{QStringLiteral("text"), QString::fromUtf8(payloadOf(1))},
                                            {QStringLiteral("count"), m_options.flood},
                                            {QStringLiteral("sent"), sent}});
    m_log->Say(QStringLiteral("sent %1 of %2 UnreadMessageChanged").arg(sent).arg(m_options.flood));
}

void KKSimulator::DieMidFrame()
{
    // The length and the first half of the payload as one pipe message: the module holds an
    // unfinished frame when the pipe breaks.
    const QByteArray payload(kMidFramePayload);
    SendBytes(KKFrameStream::Pack(payload).left(KKFrameStream::kLengthSize + payload.size() / 2));
    Crash(m_options.DiePointName());
}

void KKSimulator::AddScriptLine(const QString& line)
{
    m_script.append(qMakePair(++m_scriptLines, line));
    RunScript();
}

void KKSimulator::EndScript()
{
    m_scriptEnded = true;
    RunScript();
}

void KKSimulator::RunScript()
{
    if (!m_connected || m_finished || m_inScript)
        return;
    m_inScript = true;
    while (m_scriptState == ScriptState::Ready && !m_script.isEmpty() && !m_finished) {
        const QPair<int, QString> line = m_script.takeFirst();
        KKScriptCommand command;
        QString error;
        if (KKScriptCommand::Parse(line.second, &command, &error)) {
            Execute(command, line.first);
            continue;
        }
        m_log->Complain(QStringLiteral("script line %1: %2").arg(line.first).arg(error));
        m_log->Record(QStringLiteral("script-error"),
                      {{QStringLiteral("line"), line.first}, {QStringLiteral("error"), error}});
    }
    m_inScript = false;
    if (m_scriptEnded && !m_scriptEndRecorded && m_script.isEmpty() && m_scriptState == ScriptState::Ready &&
        !m_finished) {
        m_scriptEndRecorded = true;
        m_log->Record(QStringLiteral("script-end"));
        m_log->Say(QStringLiteral("script finished"));
    }
}

void KKSimulator::Execute(const KKScriptCommand& command, int line)
{
    switch (command.kind) {
    case KKScriptCommand::Nothing:
        break;
    case KKScriptCommand::Send:
        SendMessage(command.message);
        break;
    case KKScriptCommand::Raw:
        SendPayload(command.data);
        break;
    case KKScriptCommand::Bytes:
        SendBytes(command.data);
        break;
    case KKScriptCommand::Startup:
        SendStartup();
        break;
    case KKScriptCommand::Sleep:
        m_scriptState = ScriptState::Sleeping;
        m_scriptTimer->start(command.number);
        break;
    case KKScriptCommand::Wait:
        if (m_unclaimed.value(command.name) > 0) {
            --m_unclaimed[command.name];
            break;
        }
        m_scriptState = ScriptState::Waiting;
        m_waitName = command.name;
        m_scriptTimer->start(command.number);
        break;
    case KKScriptCommand::Flood: {
        // One frame, written `count` times back to back; one log line for all of them.
        const QByteArray frame = KKFrameStream::Pack(command.message->ToString().toUtf8());
        int sent = 0;
        while (sent < command.number && m_endpoint->SendRawBytes(frame))
            ++sent;
        m_log->Record(QStringLiteral("flood"), {{QStringLiteral("text"), command.message->ToString()},
                                                {QStringLiteral("count"), command.number},
                                                {QStringLiteral("sent"), sent}});
        m_log->Say(QStringLiteral("sent %1 of %2 %3").arg(sent).arg(command.number).arg(command.message->GetName()));
        break;
    }
    case KKScriptCommand::Crash:
        Crash(QStringLiteral("script line %1").arg(line));
    case KKScriptCommand::CloseReadPipe:
    case KKScriptCommand::CloseWritePipe: {
        const bool read = command.kind == KKScriptCommand::CloseReadPipe;
        m_endpoint->ClosePipe(read ? KKClientEndpoint::ReadPipe : KKClientEndpoint::WritePipe);
        m_log->Record(QStringLiteral("closed"), {{QStringLiteral("pipe"), read ? "read" : "write"}});
        m_log->Say(QStringLiteral("closed the %1 pipe").arg(read ? "read" : "write"));
        break;
    }
    case KKScriptCommand::Exit:
        Finish(command.number, QStringLiteral("script line %1").arg(line));
        break;
    }
}

void KKSimulator::OnScriptTimer()
{
    if (m_scriptState == ScriptState::Waiting) {
        m_log->Record(QStringLiteral("wait-timeout"), {{QStringLiteral("name"), m_waitName}});
        m_log->Say(QStringLiteral("gave up waiting for %1").arg(m_waitName));
    }
    m_scriptState = ScriptState::Ready;
    RunScript();
}

void KKSimulator::Finish(int exitCode, const QString& reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_scriptTimer->stop();
    m_lifetimeTimer->stop();
    m_log->Record(QStringLiteral("exit"), {{QStringLiteral("code"), exitCode}, {QStringLiteral("reason"), reason}});
    m_log->Say(QStringLiteral("exiting with code %1 (%2)").arg(exitCode).arg(reason));
    m_endpoint->Close();
    emit Finished(exitCode);
}

void KKSimulator::Crash(const QString& reason)
{
    using How = KKSimulatorOptions::DieHow;
    // The log writes through at once; this is its last line.
    m_log->Record(QStringLiteral("crash"),
                  {{QStringLiteral("reason"), reason}, {QStringLiteral("pipes"), OpenPipes()}});
    m_log->Say(QStringLiteral("crashing on purpose (%1)").arg(reason));
    switch (m_options.dieHow) {
    case How::Abort:
        break;
    case How::Kill:
#if defined(Q_OS_WIN)
        TerminateProcess(GetCurrentProcess(), 1);
#else
        std::raise(SIGKILL);
#endif
        break;
    case How::Exit:
        // No destructors, no atexit handlers, no handles closed: the system cleans up, as after a crash.
        std::_Exit(m_options.dieExitCode);
    }
    std::abort();  // also should a self-kill ever return
}
