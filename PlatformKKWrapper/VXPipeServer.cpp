#include "PlatformKKWrapper/VXPipeServer.h"

#include "PlatformKKWrapper/KKConstants.h"
#include "PlatformKKWrapper/KKLocation.h"
#include "PlatformKKWrapper/VXPipeReciver.h"
#include "PlatformKKWrapper/VXPipeSender.h"
#include "VXCore/VXCodeTracking.h"
#include "VXFoundation/VXThreadUtils.h"

namespace {
constexpr int kNoValue = -99999;
}

VXPipeServer::VXPipeServer(QObject* parent) : QObject(parent), m_pPipeSender(nullptr), m_pPipeReciver(nullptr) {}

VXPipeServer::~VXPipeServer()
{
    CloseServer();
}

bool VXPipeServer::InitPipe(const QString& writePipeName, const QString& readPipeName)
{
    if (writePipeName.size() > kMaxPipeNameLength || readPipeName.size() > kMaxPipeNameLength) {
        VXCodeTracking::Error(PipeTrackId, QStringLiteral("PipeServerInitError"), QStringLiteral("Pipe name length is too long"),
                              kNoValue, QString(), KK_LOCATION);
        return false;
    }
    m_writePipeName = writePipeName;
    m_readPipeName = readPipeName;
    CreateServer();
    return true;
}

void VXPipeServer::CreateServer()
{
    if (!m_pPipeSender) {
        m_pPipeSender = new VXPipeSender(nullptr);
        if (m_pPipeSender->CreatePipe(m_writePipeName)) {
            VXCodeTracking::Info(PipeTrackId, QStringLiteral("PipeServerCreateSuccess"),
                                 QStringLiteral("Create write pipe success"), kNoValue, QString(), KK_LOCATION);
            VXThreadUtils::InvokeMethodQueued(m_pPipeSender, "Connect");
        } else {
            VXCodeTracking::Error(PipeTrackId, QStringLiteral("PipeServerCreateError"),
                                  QStringLiteral("Create write pipe failed"), kNoValue, QString(), KK_LOCATION);
            return;
        }
    }

    if (!m_pPipeReciver) {
        m_pPipeReciver = new VXPipeReciver(nullptr);
        connect(m_pPipeReciver, &VXPipeReciver::SigPipeConnected, this, &VXPipeServer::SlotPipeConnected);
        connect(m_pPipeReciver, &VXPipeReciver::SigPipeDisconnected, this, &VXPipeServer::SlotPipeDisconnected);
        connect(m_pPipeReciver, &VXPipeReciver::SigReadData, this, &VXPipeServer::SigReadData);
        if (m_pPipeReciver->CreatePipe(m_readPipeName)) {
            VXCodeTracking::Info(PipeTrackId, QStringLiteral("PipeServerCreateSuccess"),
                                 QStringLiteral("Create read pipe success"), kNoValue, QString(), KK_LOCATION);
            m_pPipeReciver->start(QThread::InheritPriority);
        } else {
            VXCodeTracking::Error(PipeTrackId, QStringLiteral("PipeServerCreateError"),
                                  QStringLiteral("Create read pipe failed"), kNoValue, QString(), KK_LOCATION);
        }
    }
}

bool VXPipeServer::WriteData(const QByteArray& data)
{
    if (!m_pPipeSender) {
        VXCodeTracking::Error(PipeTrackId, QStringLiteral("PipeServerWriteDataError"),
                              QStringLiteral("m_pPipeSender is nullptr"), kNoValue, QString(), KK_LOCATION);
        return false;
    }
    return m_pPipeSender->WriteData(data);
}

bool VXPipeServer::AsyncWriteData(const QByteArray& data)
{
    if (!m_pPipeSender) {
        VXCodeTracking::Error(PipeTrackId, QStringLiteral("PipeServerAsyncWriteDataError"),
                              QStringLiteral("m_pPipeSender is nullptr"), kNoValue, QString(), KK_LOCATION);
        return false;
    }
    return VXThreadUtils::InvokeMethodQueued(m_pPipeSender, "WriteData", Q_ARG(QByteArray, data));
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
    emit SigClientConnected();
}

void VXPipeServer::SlotPipeDisconnected()
{
    CloseServer();
    CreateServer();
    emit SigClientClosed();
}
