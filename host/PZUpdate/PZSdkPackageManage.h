#pragma once

#include "PZUpdate/PZUpdateExport.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

// Prepares the files of one of the host's companion programs and says where its executable is.
//
// For SdkType_Kopkop this stand-in finds the chat client in the host's configuration: the key
// "kopkop_executable" of the configuration service registered under
// "vx://config/object/service", or, if that is missing, the VX_KOPKOP_EXECUTABLE environment
// variable. A relative path is taken from the current directory. Prepare() then reports, in
// this order, through SigPrepareStateChanged:
//
//   PreparePending   "Checking the Kopkop package"
//   PrepareFinished  the executable's absolute path             - when it exists and may be run
//   PrepareFailed    a description of what is wrong            - otherwise: not configured,
//                                                                 missing, a directory, or not
//                                                                 executable
//
// Every report arrives through the event loop of the object's thread, never inside Prepare()
// itself. Each Prepare() call runs one sequence; calls are not merged.
//
// Tests can script what the next Prepare() calls report (PushScript): each call then plays the
// next scripted sequence instead of looking anything up, state by state in separate event-loop
// turns. Scripts are process-wide and used first in, first out.
//
// Lives in the thread that created it; Prepare() must be called there. The static members may
// be called from any thread.
class PZUPDATE_EXPORT PZSdkPackageManage : public QObject
{
    Q_OBJECT
public:
    enum SdkType {
        SdkType_None = 0,
        SdkType_Kopkop = 1,
    };
    Q_ENUM(SdkType)

    enum PrepareState {
        PrepareIdle = 0,
        PrepareChecking = 1,
        PreparePending = 2,
        PrepareFinished = 3,
        PrepareFailed = 4,
        PrepareCancelled = 5,
    };
    Q_ENUM(PrepareState)

    using Step = QPair<PrepareState, QString>;

    PZSdkPackageManage(SdkType type, QObject* parent = nullptr);
    ~PZSdkPackageManage() override;

    SdkType GetSdkType() const;
    // Starts one preparation; its outcome arrives through SigPrepareStateChanged.
    void Prepare();

    static void PushScript(const QList<Step>& steps);
    static void ClearScripts();
    // How many times Prepare() has been called in this process, by any instance.
    static int PrepareCallCount();

signals:
    void SigPrepareStateChanged(PZSdkPackageManage::PrepareState state, const QString& data);

private:
    QList<Step> LookUpExecutable() const;
    void PlayNext(QList<Step> steps);

    SdkType m_type;
};

Q_DECLARE_METATYPE(PZSdkPackageManage::PrepareState)
