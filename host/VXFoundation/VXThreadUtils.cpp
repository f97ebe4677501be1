#include "VXFoundation/VXThreadUtils.h"

#include "VXFoundation/VXThreadAnnotations.h"

#include <QMetaObject>
#include <QObject>

bool VXThreadUtils::InvokeMethodQueued(QObject* object, const char* method, QGenericArgument val0,
                                       QGenericArgument val1, QGenericArgument val2, QGenericArgument val3,
                                       QGenericArgument val4, QGenericArgument val5, QGenericArgument val6,
                                       QGenericArgument val7, QGenericArgument val8, QGenericArgument val9)
{
    if (!object || !method)
        return false;
    // Everything the caller did so far comes before the call runs; the slot states the other end
    // with VX_HAPPENS_AFTER(this).
    VX_HAPPENS_BEFORE(object);
    return QMetaObject::invokeMethod(object, method, Qt::QueuedConnection, val0, val1, val2, val3, val4,
                                     val5, val6, val7, val8, val9);
}
