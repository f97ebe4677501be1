#pragma once

#include "YRBase/YRBaseExport.h"

#include <QString>

class QObject;

// The host's router: finds host objects by address ("vx://config/object/service", ...).
//
// The host registers its objects with Register(); everyone else only looks them up, by making a
// router for an address and asking GetObj(). The registry does not own the objects: one that
// is destroyed disappears from it by itself. The object returned stays valid after the router
// object is gone. Any thread may register and look up.
class YRBASE_EXPORT YRRouterProtocol
{
public:
    explicit YRRouterProtocol(const QString& uri);
    ~YRRouterProtocol();

    // The object registered under the address, or null.
    QObject* GetObj() const;

    // Registers `object` under `uri`, replacing what was there; null removes the entry.
    static void Register(const QString& uri, QObject* object);
    static void Unregister(const QString& uri);

private:
    QString m_uri;
};
