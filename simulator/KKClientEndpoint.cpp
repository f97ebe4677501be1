#include "simulator/KKClientEndpoint.h"

#include "simulator/KKFrameStream.h"
#include "simulator/KKPipeReader.h"

#include <QDeadlineTimer>
#include <QDebug>

#include <vector>

namespace {

const QLatin1String kPipeArgument("pipe?param=");
const QLatin1String kVersionArgument("version=");
const QLatin1String kPipePrefix("\\\\.\\pipe\\");
constexpr int kQuoteLimit = 60;  // characters of a bad argument quoted in an error

QString Quoted(const QString& text)
{
    return QLatin1Char('"') + (text.size() > kQuoteLimit ? text.left(kQuoteLimit) + QStringLiteral("...") : text) +
           QLatin1Char('"');
}

QString CheckPipeName(const QString& name, const QString& which)
{
    if (name.isEmpty())
        return QStringLiteral("the %1 name is empty").arg(which);
    if (name.size() > KKClientEndpoint::kMaxPipeNameLength)
        return QStringLiteral("the %1 name has %2 characters, more than %3")
            .arg(which)
            .arg(name.size())
            .arg(KKClientEndpoint::kMaxPipeNameLength);
    if (!name.startsWith(kPipePrefix, Qt::CaseInsensitive) || name.size() == kPipePrefix.size())
        return QStringLiteral("the %1 name %2 is not a pipe name \\\\.\\pipe\\<name>").arg(which, Quoted(name));
    if (name.contains(QChar(0)))
        return QStringLiteral("the %1 name holds a NUL character").arg(which);
    return QString();
}

// Opens one pipe as the protocol asks: read and write access, no sharing, an existing pipe; in
// message-read mode. Overlapped, so that the reader's pending read and the owner's writes on the
// read pipe never wait for each other.
DWORD OpenPipe(const QString& name, const QDeadlineTimer& deadline, HANDLE* out)
{
    std::vector<wchar_t> wide(size_t(name.size()) + 1);
    wide[size_t(name.toWCharArray(wide.data()))] = L'\0';
    for (;;) {
        const HANDLE pipe = CreateFileW(wide.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
                const DWORD error = GetLastError();
                CloseHandle(pipe);
                return error;
            }
            *out = pipe;
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY)
            return error;
        // At least 1 ms: a time-out of 0 would mean the server's default.
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return ERROR_PIPE_BUSY;
        if (!WaitNamedPipeW(wide.data(), DWORD(left)))
            return GetLastError();  // ERROR_SEM_TIMEOUT, or the pipe went away
    }
}

}  // namespace

bool KKClientEndpoint::ParseCommandLine(const QStringList& arguments, Launch* out, QString* error)
{
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (arguments.size() < 2) {
        return fail(QStringLiteral("expected two arguments, pipe?param=<write pipe>&<read pipe> and "
                                   "version=<host version>, got %1")
                        .arg(arguments.size()));
    }
    const QString& pipes = arguments.at(0);
    if (!pipes.startsWith(kPipeArgument))
        return fail(QStringLiteral("the first argument %1 does not start with pipe?param=").arg(Quoted(pipes)));
    const QString names = pipes.mid(kPipeArgument.size());
    const int separator = names.indexOf(QLatin1Char('&'));
    if (separator < 0)
        return fail(QStringLiteral("the first argument %1 has no '&' between the two pipe names").arg(Quoted(pipes)));
    if (names.indexOf(QLatin1Char('&'), separator + 1) >= 0)
        return fail(QStringLiteral("the first argument %1 has more than one '&'").arg(Quoted(pipes)));
    const QString writePipe = names.left(separator);
    const QString readPipe = names.mid(separator + 1);
    QString reason = CheckPipeName(writePipe, QStringLiteral("write pipe"));
    if (reason.isEmpty())
        reason = CheckPipeName(readPipe, QStringLiteral("read pipe"));
    if (!reason.isEmpty())
        return fail(reason);
    // Pipe names are compared without regard to letter case.
    if (writePipe.compare(readPipe, Qt::CaseInsensitive) == 0)
        return fail(QStringLiteral("both pipes have the same name %1").arg(Quoted(writePipe)));
    const QString& version = arguments.at(1);
    if (!version.startsWith(kVersionArgument))
        return fail(QStringLiteral("the second argument %1 does not start with version=").arg(Quoted(version)));

    if (out) {
        out->writePipe = writePipe;
        out->readPipe = readPipe;
        out->version = version.mid(kVersionArgument.size());
    }
    return true;
}

KKClientEndpoint::KKClientEndpoint(QObject* parent, Reading reading)
    : QObject(parent), m_reader(new KKPipeReader(this)), m_reading(reading)
{
    qRegisterMetaType<QSharedPointer<VXProcessMessage>>("QSharedPointer<VXProcessMessage>");
    qRegisterMetaType<KKReceivedBatch>("KKReceivedBatch");
    m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The reader emits from its own thread; these connections are queued into ours.
    connect(m_reader, &KKPipeReader::Received, this, &KKClientEndpoint::OnReceived);
    connect(m_reader, &KKPipeReader::PipeGone, this, &KKClientEndpoint::OnPipeGone);
}

KKClientEndpoint::~KKClientEndpoint()
{
    Close();
    if (m_writeEvent)
        CloseHandle(m_writeEvent);
    if (m_readEvent)
        CloseHandle(m_readEvent);
}

DWORD KKClientEndpoint::Connect(const Launch& launch, int timeoutMs, int pipes)
{
    m_reader->Stop();
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    DWORD result = ERROR_SUCCESS;
    if ((pipes & WritePipe) && !m_fromHost)
        result = OpenPipe(launch.writePipe, deadline, &m_fromHost);
    if (result == ERROR_SUCCESS && (pipes & ReadPipe) && !m_toHost)
        result = OpenPipe(launch.readPipe, deadline, &m_toHost);
    RestartReader();
    return result;
}

bool KKClientEndpoint::IsOpen(Pipe pipe) const
{
    switch (pipe) {
    case WritePipe: return m_fromHost != nullptr;
    case ReadPipe: return m_toHost != nullptr;
    case BothPipes: return m_fromHost && m_toHost;
    case NoPipe: break;
    }
    return false;
}

bool KKClientEndpoint::Send(const QSharedPointer<VXProcessMessage>& message)
{
    return message && SendPayload(message->ToString().toUtf8());
}

bool KKClientEndpoint::SendPayload(const QByteArray& payload)
{
    // A QByteArray holds at most INT_MAX bytes, so only the last four bytes of the range are out.
    if (payload.size() > KKFrameStream::kMaxPayload)
        return false;
    return SendRawBytes(KKFrameStream::Pack(payload));
}

bool KKClientEndpoint::SendRawBytes(const QByteArray& bytes)
{
    if (!m_toHost || m_hostGone || !m_writeEvent)
        return false;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_writeEvent;
    DWORD written = 0;
    BOOL ok = WriteFile(m_toHost, bytes.constData(), DWORD(bytes.size()), &written, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(m_toHost, &overlapped, &written, TRUE);
    if (ok && written == DWORD(bytes.size()))
        return true;
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    qDebug().noquote() << QStringLiteral("KKClientEndpoint: WriteFile failed with %1 after %2 of %3 bytes")
                              .arg(error)
                              .arg(written)
                              .arg(bytes.size());
    // Reported from the event loop, like a failed read, so that a caller in the middle of a
    // series of sends does not find its own slots run inside Send.
    m_hostGone = true;
    const int session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (session == m_session)
                emit HostGone();
        },
        Qt::QueuedConnection);
    return false;
}

void KKClientEndpoint::ClosePipe(Pipe pipe)
{
    m_reader->Stop();
    if ((pipe & WritePipe) && m_fromHost) {
        CloseHandle(m_fromHost);
        m_fromHost = nullptr;
        m_reader->ResetStream();
        m_stream.Clear();
        m_ready.clear();
    }
    if ((pipe & ReadPipe) && m_toHost) {
        CloseHandle(m_toHost);
        m_toHost = nullptr;
    }
    RestartReader();
}

void KKClientEndpoint::Close()
{
    ClosePipe(BothPipes);
    ++m_session;
    m_hostGone = false;
}

void KKClientEndpoint::RestartReader()
{
    m_reader->Stop();
    if (m_reading == Reading::Thread && (m_fromHost || m_toHost))
        m_reader->Start(m_fromHost, m_toHost, m_session);
}

bool KKClientEndpoint::ReadPayload(QByteArray* payload, int timeoutMs)
{
    if (m_ready.isEmpty() && !m_hostGone && m_fromHost) {
        if (!m_readEvent)
            m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_readBuffer.isEmpty())
            m_readBuffer.resize(int(KKPipeReader::kBufferSize));
        while (m_ready.isEmpty()) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = m_readEvent;
            DWORD read = 0;
            BOOL ok = ReadFile(m_fromHost, m_readBuffer.data(), DWORD(m_readBuffer.size()), &read, &overlapped);
            DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && error == ERROR_IO_PENDING) {
                // The thread that waits completes the read itself when the data comes.
                if (WaitForSingleObject(m_readEvent, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs)) != WAIT_OBJECT_0) {
                    CancelIoEx(m_fromHost, &overlapped);
                    ok = GetOverlappedResult(m_fromHost, &overlapped, &read, TRUE);
                    if (!ok && GetLastError() == ERROR_OPERATION_ABORTED)
                        return false;  // the time ran out
                } else {
                    ok = GetOverlappedResult(m_fromHost, &overlapped, &read, FALSE);
                }
                error = ok ? ERROR_SUCCESS : GetLastError();
            } else if (!ok && error == ERROR_MORE_DATA) {
                GetOverlappedResult(m_fromHost, &overlapped, &read, FALSE);
            }
            if (!ok && error != ERROR_MORE_DATA) {
                m_hostGone = true;
                return false;
            }
            m_ready.append(m_stream.Append(m_readBuffer.constData(), int(read)).payloads);
        }
    }
    if (m_ready.isEmpty())
        return false;
    *payload = m_ready.takeFirst();
    return true;
}

void KKClientEndpoint::OnReceived(int session, const KKReceivedBatch& batch)
{
    for (const KKReceivedPayload& received : batch) {
        // A receiver may close or reopen the pipes while the batch is being handed on; what is
        // left of it then belongs to a connection that is over.
        if (session != m_session)
            return;
        if (received.message)
            emit MessageReceived(received.message, received.payload);
        else
            emit InvalidPayload(received.payload);
    }
}

void KKClientEndpoint::OnPipeGone(int session, quint32 error)
{
    Q_UNUSED(error);  // the reader has written it to the debug output when it was unexpected
    if (session != m_session || m_hostGone)
        return;
    m_hostGone = true;
    emit HostGone();
}
