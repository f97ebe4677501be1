#pragma once

#include "VXFoundation/VXProcessMessage.h"

#include <QMetaType>
#include <QSharedPointer>

// Messages travel between threads as QSharedPointer<VXProcessMessage> in queued signals, and are
// captured by QSignalSpy in tests; both need the type known to QMetaType. The endpoint registers
// it at run time (qRegisterMetaType) when it is constructed.
Q_DECLARE_METATYPE(QSharedPointer<VXProcessMessage>)
