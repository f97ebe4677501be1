#pragma once

// White-box access to the manager for tests (the manager declares this class its friend): reads
// its members and calls its private operations, on the manager's thread.

#include "PlatformKKWrapper/VXKopkopManager.h"
#include "PlatformKKWrapper/VXPipeServer.h"

class VXKopkopManagerInspector
{
public:
    explicit VXKopkopManagerInspector(VXKopkopManager* manager) : m(manager) {}

    int PipeStatus() const { return m->m_pipeStatus; }
    void SetPipeStatus(int status) { m->m_pipeStatus = status; }
    bool IsReady() const { return m->m_isReady; }
    void SetReady(bool ready) { m->m_isReady = ready; }
    bool HasStarted() const { return m->m_hasStarted; }
    int CrashTimes() const { return m->m_crashTimes; }
    bool CrashTimerValid() const { return m->m_crashTimer.isValid(); }
    bool ConnectTimerActive() const { return m->m_connectTimer.isActive(); }
    QString PendingLaunch() const { return m->m_pendingLaunch; }
    QString WritePipeName() const { return m->m_writePipeName; }
    QString ReadPipeName() const { return m->m_readPipeName; }
    VXPipeServer* PipeServer() const { return m->m_pPipeServer; }
    const void* Wrapper() const { return m->m_pWrapper; }
    PZSdkPackageManage* PackageManage() const { return m->m_packageManage; }
    VXProcess* Process() const { return m->m_pProcess; }
    IKKCallbackInterface* Callback() const { return m->m_pCallback; }
    QStringList CacheTexts() const
    {
        QStringList texts;
        for (const auto& message : m->m_msgCache)
            texts.append(message->ToString());
        return texts;
    }
    bool IsConnected() const { return m->IsConnected(); }
    bool CrashTimesCheck() { return m->CrashTimesCheck(); }
    void StartKopKop(const QString& path) { m->StartKopKop(path); }
    bool StartKkUseVxProcess() const { return m->StartKkUseVxProcess(); }
    void ReadData(const QByteArray& payload) { m->SlotReadData(payload); }
    void ClientConnected() { m->SlotClientConnected(); }
    void ClientClosed() { m->SlotClientClosed(); }
    void ProcessError(QProcess::ProcessError error) { m->SlotKKProcessError(error); }
    void PrepareStateChanged(PZSdkPackageManage::PrepareState state, const QString& data)
    {
        m->SlotPrepareStateChanged(state, data);
    }
    void CacheMsg(const QSharedPointer<VXProcessMessage>& message) { m->CacheMsg(message); }

private:
    VXKopkopManager* m;
};
