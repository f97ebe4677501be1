#pragma once

#include "VXCore/VXCoreExport.h"

#include <QByteArray>
#include <QString>

// The host's connection to its servers, as far as others need it: three values of the current
// login session that the chat client receives when it logs in. What they hold is the host's
// business; they are passed on unchanged.
//
// Instance() returns the built-in VXTcpManager, whose values the host sets directly.
class VXCORE_EXPORT ITcpManager
{
public:
    virtual ~ITcpManager();

    static ITcpManager* Instance();

    virtual QString GetLoginValue1() = 0;
    virtual QString GetLoginValue2() = 0;
    virtual QByteArray GetLoginBytes() = 0;
};
