#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QGenericArgument>

class QObject;

// Helpers for calls between threads.
class VXFOUNDATION_EXPORT VXThreadUtils
{
public:
    // Posts a call of `object`'s slot (or invokable) `method` to the thread `object` lives in, with
    // copies of the arguments (their types must be known to QMetaType), as
    // QMetaObject::invokeMethod with Qt::QueuedConnection does. Returns whether the call was
    // posted: false for a null object, an unknown method or arguments that do not match it.
    // Calls posted from one thread run in the order they were posted. Any thread may call it.
    // For ThreadSanitizer builds the hand-over is annotated on `object`: a slot that touches
    // state its caller wrote starts with VX_HAPPENS_AFTER(this) (VXThreadAnnotations.h).
    static bool InvokeMethodQueued(QObject* object, const char* method,
                                   QGenericArgument val0 = QGenericArgument(nullptr),
                                   QGenericArgument val1 = QGenericArgument(),
                                   QGenericArgument val2 = QGenericArgument(),
                                   QGenericArgument val3 = QGenericArgument(),
                                   QGenericArgument val4 = QGenericArgument(),
                                   QGenericArgument val5 = QGenericArgument(),
                                   QGenericArgument val6 = QGenericArgument(),
                                   QGenericArgument val7 = QGenericArgument(),
                                   QGenericArgument val8 = QGenericArgument(),
                                   QGenericArgument val9 = QGenericArgument());
};
