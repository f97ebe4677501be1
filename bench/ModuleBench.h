#pragma once

#include "EndToEndBench.h"

#include "PlatformKKWrapper/IKKCallbackInterface.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include <functional>
#include <memory>

class VXConfigService;
class VXKopkopManager;

// The module measured as a host uses it: a VXKopkopManager that prepares and launches a chat
// client from the host configuration, real pipes, the client-side class on the other end, and a
// callback on the main thread. The client is either the lean one (kk-bench-client: one thread
// that reads, answers and writes, on the endpoint's fast path) or the simulator (kopkop-sim, with
// its reader thread and event loop).
//
// Lives on the main thread, like the manager.
class ModuleBench : public EndToEndBench, public IKKCallbackInterface
{
    Q_OBJECT
public:
    // The client-to-host blocks the simulator will be asked for, in order: (count, payload size).
    using FloodPlan = QList<QPair<int, int>>;

    enum class Client { Lean, Simulator };

    ModuleBench(Client client, const QString& clientPath, QObject* parent = nullptr);
    ~ModuleBench() override;

    // Launches the simulator through the module and waits until it is ready.
    bool Start(const FloodPlan& floods);
    qint64 ClientPid() const override { return m_mainClientPid; }

    // `count` messages of `payloadSize` bytes (text form) host to client, with SendCommand or
    // with the guarded OpenKKWindow; seconds until the client has them all (a round trip that
    // follows them proves it), or -1.
    double HostToClient(int count, int payloadSize, bool guarded, Cost* cost = nullptr, bool countSyscalls = false);
    // `count` messages of `payloadSize` bytes client to host (for the simulator: the next block of
    // its flood plan): seconds from asking until the callback saw them all.
    double ClientToHost(int count, int payloadSize);

    // ExecuteKK(false) to OnStartupCompleted with a fresh manager each time: milliseconds.
    QVector<double> LaunchToReady(int samples);
    // SIGKILL of the client to the next OnStartupCompleted: milliseconds.
    QVector<double> Restarts(int samples);
    // The same simulator started without the module: spawn to its first message, milliseconds.
    QVector<double> BareSpawn(int samples);
    // Peak growth of this process's resident memory (KiB) while `count` messages wait for a
    // client that does not read yet; then the client reads them all.
    qint64 PeakMemoryWhileQueued(int count, int payloadSize, bool* allDelivered);

    static QString PayloadMessage(const QString& name, int size);

    // IKKCallbackInterface: counts what the benchmarks wait for.
    void OnStartupCompleted(unsigned int value, const QString& text) override;
    void OnShowMessageBox(const QString&, unsigned int) override {}
    void OnChangeStatus(int status) override;
    void OnChangeLoginInitStatus(int) override {}
    void OnBaseInfoChanged(const QString& info) override;
    void OnActivePlatform() override {}
    void OnOpenUrl(const QString&, bool) override {}
    void OnOpenPlugin(const QString&) override {}
    void OnOpenSetting(const QString&) override {}
    void OnUnreadMessageChanged(int) override {}
    void OnTrayIconAction(bool, const QString&, int) override {}
    void OnChangeSkin(const QString&) override {}
    void OnUpgradeNewVersion() override {}
    void OnLoginNewAccount() override {}
    void OnUploadInterfaceException(int, const QString&, const QString&, const QString&) override {}
    void OnUploadCefException(int, const QString&, const QString&, const QString&, const QString&,
                              const QString&) override {}

protected:
    // ChangeStatus through SendCommand; the client answers with ChangeStatusCallback.
    void RequestStatus(int status) override;

private:
    void Configure(bool useVxProcess);
    void UseThisConfiguration();
    VXKopkopManager* NewManager();

    const Client m_client;
    QString m_simulator;  // the client program
    QTemporaryDir m_dir;
    std::unique_ptr<VXConfigService> m_config;
    VXKopkopManager* m_manager = nullptr;
    qint64 m_clientPid = 0;      // of the client that reported its start-up last
    qint64 m_mainClientPid = 0;  // of the client Start() launched, which the blocks use
    int m_startups = 0;
    long long m_baseInfoCount = 0;
};
