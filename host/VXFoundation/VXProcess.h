#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QProcess>

// A QProcess whose program may outlive it.
//
// m_processFlag says what deleting the object does to a program that is still running:
//   true  (the default) - as QProcess: the program is killed and waited for;
//   false               - the program keeps running on its own. The object lets go of it
//                         without a signal, and a process-wide reaper collects its exit status
//                         when it ends, so it never lingers as a zombie.
// Until the object is deleted it is a plain QProcess: errorOccurred reports a program that fails
// to start (FailedToStart) or that crashes, finished reports its end.
//
// Channels: the program's stdout and stderr go where the host's go (ForwardedChannels), and its
// stdin reads from the null device, so that a program which outlives this object never writes
// into a pipe nobody reads.
//
// Lives in the thread that created it, like any QProcess.
class VXFOUNDATION_EXPORT VXProcess : public QProcess
{
    Q_OBJECT
public:
    bool m_processFlag;  // first own member; see above

    explicit VXProcess(QObject* parent = nullptr);
    ~VXProcess() override;
};
