#include "PlatformKKWrapper/VXPipeServer.h"

#include "PlatformKKWrapper/KKConstants.h"
#include "PlatformKKWrapper/KKLocation.h"
#include "PlatformKKWrapper/KKThreadCheck.h"
#include "PlatformKKWrapper/KKTracking.h"
#include "PlatformKKWrapper/VXPipeFrame.h"
#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeSender.h"
#include "VXFoundation/VXThreadUtils.h"

VXPipeServer::VXPipeServer(QObject* parent)
    : QObject(parent),
      m_pPipeSender(nullptr),
      m_pPipeReciver(nullptr),
      m_payloadLimit(VXPipeFrame::kDefaultPayloadLimit),
      m_generation(0),
      m_clientReported(false),
      m_retriesLeft(0)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &VXPipeServer::SlotRetryCreate);
}

VXPipeServer::~VXPipeServer()
{
    CloseServer();
}

bool VXPipeServer::InitPipe(const QString& writePipeName, const QString& readPipeName)
{
    KK_ASSERT_OWNER_THREAD(this);
    if (writePipeName.size() > kMaxPipeNameLength || readPipeName.size() > kMaxPipeNameLength) {
        KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerInitError"),
                          QStringLiteral("Pipe name length is too long"), KK_LOCATION);
        return false;
    }
    m_writePipeName = writePipeName;
    m_readPipeName = readPipeName;
    CreateServer();
    return true;
}

void VXPipeServer::SetPayloadLimit(int bytes)
{
    KK_ASSERT_OWNER_THREAD(this);
    m_payloadLimit = bytes;
}

bool VXPipeServer::CreateServer()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (!m_pPipeSender) {
        m_pPipeSender = new VXPipeSender(nullptr);
        if (!m_pPipeSender->CreatePipe(m_writePipeName)) {
            KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerCreateError"),
                              QStringLiteral("Create write pipe failed"), KK_LOCATION);
            CloseServer();
            return RetryLater();
        }
        KKTracking::Info(PipeTrackId, QStringLiteral("PipeServerCreateSuccess"),
                         QStringLiteral("Create write pipe success"), KK_LOCATION);
        VXThreadUtils::InvokeMethodQueued(m_pPipeSender, "Connect");
    }

    if (!m_pPipeReciver) {
        m_pPipeReciver = new VXPipeReciver(nullptr);
        m_clientReported = false;
        // The connection state of a receiver that has been replaced (its signals may still be
        // queued here) must not touch the current one.
        const int generation = ++m_generation;
        connect(m_pPipeReciver, &VXPipeReciver::SigPipeConnected, this, [this, generation] {
            if (generation == m_generation)
                SlotPipeConnected();
        });
        connect(m_pPipeReciver, &VXPipeReciver::SigPipeDisconnected, this, [this, generation] {
            if (generation == m_generation)
                SlotPipeDisconnected();
        });
        connect(m_pPipeReciver, &VXPipeReciver::SigReadData, this, &VXPipeServer::SlotPipeReadData);
        connect(m_pPipeReciver, &VXPipeReciver::SigProtocolError, this, &VXPipeServer::SlotProtocolError);
        if (!m_pPipeReciver->CreatePipe(m_readPipeName)) {
            KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerCreateError"),
                              QStringLiteral("Create read pipe failed"), KK_LOCATION);
            CloseServer();  // both or neither: a lone write pipe would only take a client in
            return RetryLater();
        }
        KKTracking::Info(PipeTrackId, QStringLiteral("PipeServerCreateSuccess"),
                         QStringLiteral("Create read pipe success"), KK_LOCATION);
        m_pPipeReciver->SetPayloadLimit(m_payloadLimit);
        m_pPipeReciver->SetBacklog(&m_backlog);
        m_pPipeReciver->WatchWritePipe(m_pPipeSender->PipeHandle(), m_pPipeSender->ConnectedEvent());
        m_pPipeReciver->start(QThread::InheritPriority);
    }
    return true;
}

bool VXPipeServer::RetryLater()
{
    // A name another process holds may be let go in a moment (its owner closing), a directory
    // that is not ours will not: a few quick retries tell the two apart without keeping the host
    // waiting long.
    if (m_retriesLeft == 0) {
        m_retriesLeft = kCreateRetries;
        m_retryTimer.start(kFirstRetryDelayMs);
    }
    return false;
}

void VXPipeServer::SlotRetryCreate()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (CreateServer()) {
        m_retriesLeft = 0;
        emit SigPipesReady();
        return;
    }
    if (--m_retriesLeft > 0) {
        m_retryTimer.start(kFirstRetryDelayMs << (kCreateRetries - m_retriesLeft));
        return;
    }
    KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerUnavailable"),
                      QStringLiteral("%1 and %2 could not be created in %3 attempts")
                      .arg(m_writePipeName, m_readPipeName)
                      .arg(kCreateRetries + 1), KK_LOCATION);
    emit SigPipesUnavailable();
}

bool VXPipeServer::IsListening() const
{
    return m_pPipeSender && m_pPipeReciver;
}

bool VXPipeServer::IsRetrying() const
{
    return m_retriesLeft > 0;
}

bool VXPipeServer::IsWaitingForClient() const
{
    return IsListening() && m_pPipeReciver->isRunning() && !m_pPipeReciver->IsConnected() &&
           !m_pPipeSender->IsConnected();
}

bool VXPipeServer::PrepareForClient()
{
    KK_ASSERT_OWNER_THREAD(this);
    if (IsWaitingForClient())
        return true;
    if (IsListening())
        Recycle(QStringLiteral("an earlier client still holds a pipe, or the read pipe stopped waiting"));
    else
        CreateServer();
    return IsListening();
}

void VXPipeServer::Recycle(const QString& reason)
{
    KK_ASSERT_OWNER_THREAD(this);
    KKTracking::Warn(PipeTrackId, QStringLiteral("PipeServerRecycle"), reason, KK_LOCATION);
    CloseServer();
    CreateServer();
}

bool VXPipeServer::WriteData(const QByteArray& data)
{
    if (!m_pPipeSender) {
        KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerWriteDataError"),
                          QStringLiteral("m_pPipeSender is nullptr"), KK_LOCATION);
        return false;
    }
    return m_pPipeSender->WriteData(data);
}

bool VXPipeServer::AsyncWriteData(const QByteArray& data)
{
    KK_ASSERT_OWNER_THREAD(this);
    if (!m_pPipeSender) {
        KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerAsyncWriteDataError"),
                          QStringLiteral("m_pPipeSender is nullptr"), KK_LOCATION);
        return false;
    }
    m_pPipeSender->QueueWrite(data);
    return true;
}

bool VXPipeServer::IsConnected()
{
    return m_pPipeReciver && m_pPipeReciver->IsConnected();
}

void VXPipeServer::CloseServer()
{
    if (m_pPipeReciver) {
        m_pPipeReciver->SetExitEvent();
        m_pPipeReciver->exit(0);
        m_pPipeReciver->wait();
        delete m_pPipeReciver;
        m_pPipeReciver = nullptr;
    }
    if (m_pPipeSender) {
        m_pPipeSender->DisConnect();
        delete m_pPipeSender;
        m_pPipeSender = nullptr;
    }
}

void VXPipeServer::SlotPipeConnected()
{
    KK_ASSERT_OWNER_THREAD(this);
    m_clientReported = true;
    emit SigClientConnected();
}

void VXPipeServer::SlotPipeDisconnected()
{
    KK_ASSERT_OWNER_THREAD(this);
    const bool wasConnected = m_clientReported;
    CloseServer();
    CreateServer();
    if (wasConnected) {
        emit SigClientClosed();
        return;
    }
    KKTracking::Warn(PipeTrackId, QStringLiteral("PipeServerRecycle"),
                     QStringLiteral("the client left the write pipe before opening the read pipe"), KK_LOCATION);
    emit SigClientLeftBeforeConnecting();
}

void VXPipeServer::SlotPipeReadData(const QByteArray& data)
{
    KK_ASSERT_OWNER_THREAD(this);
    // Taken: the receiver may read on once enough has been (see VXPipeBacklog).
    m_backlog.Take(data.size());
    emit SigReadData(data);
}

void VXPipeServer::SlotProtocolError(const QString& text)
{
    KK_ASSERT_OWNER_THREAD(this);
    KKTracking::Error(PipeTrackId, QStringLiteral("PipeServerProtocolError"), text, KK_LOCATION);
}
