#pragma once

#include "VXFoundation/VXProcessMessage.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedPointer>
#include <QVector>

// Messages travel between threads as QSharedPointer<VXProcessMessage> in queued signals, and are
// captured by QSignalSpy in tests; both need the type known to QMetaType. The endpoint registers
// it at run time (qRegisterMetaType) when it is constructed.
Q_DECLARE_METATYPE(QSharedPointer<VXProcessMessage>)

// One payload the endpoint's reader took from the incoming pipe, with its message; `message` is
// null when the payload is not a message. The reader hands them over in batches.
struct KKReceivedPayload
{
    QSharedPointer<VXProcessMessage> message;
    QByteArray payload;
};
using KKReceivedBatch = QVector<KKReceivedPayload>;
Q_DECLARE_METATYPE(KKReceivedBatch)
