#include "VXFoundation/VXThreadUtils.h"

#include <QMetaObject>
#include <QObject>

bool VXThreadUtils::InvokeMethodQueued(QObject* object, const char* method, QGenericArgument val0,
                                       QGenericArgument val1, QGenericArgument val2, QGenericArgument val3,
                                       QGenericArgument val4, QGenericArgument val5, QGenericArgument val6,
                                       QGenericArgument val7, QGenericArgument val8, QGenericArgument val9)
{
    if (!object || !method)
        return false;
    return QMetaObject::invokeMethod(object, method, Qt::QueuedConnection, val0, val1, val2, val3, val4,
                                     val5, val6, val7, val8, val9);
}
