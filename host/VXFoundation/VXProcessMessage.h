#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QVariant>

// One message between the host and another process: a name and an ordered list of arguments.
//
// Text form (docs/message-text-form.md has the full grammar and examples): a JSON array of
// strings. The first element is the name; each further element is one argument, a one-letter
// type tag, a colon and the value:
//
//     ["OpenUrl","s:https://example.com/a?b=1","b:true"]
//
//     s:<text>      QString            (any text; JSON escapes for quotes, controls, NUL)
//     b:true|false  bool
//     i:<decimal>   int                (-2147483648 .. 2147483647)
//     u:<decimal>   unsigned int       (0 .. 4294967295)
//     y:<base64>    QByteArray         (standard alphabet with padding; any bytes)
//
// ToString() never produces a NUL or a raw control character and escapes unpaired surrogates,
// so the UTF-8 bytes of the text are always valid UTF-8 and survive a NUL-terminated decode.
// Arguments of another QVariant type are written as text ("s:" with QVariant::toString());
// an invalid QVariant is written as an empty text.
//
// CreateFromString() accepts exactly that grammar (JSON white space between tokens is allowed)
// and returns null for anything else: empty or truncated text, another JSON shape, an unknown
// tag, a number out of range, bad base64, or anything after the closing bracket. It reads
// every input in one bounded pass and never crashes.
//
// Not a QObject and not thread-aware: a message is built and read by one thread at a time, and
// is shared through QSharedPointer.
class VXFOUNDATION_EXPORT VXProcessMessage
{
public:
    // A message of that name without arguments; never null.
    static QSharedPointer<VXProcessMessage> Create(const QString& name);
    // The message that a text form describes, or null if the text is not one.
    static QSharedPointer<VXProcessMessage> CreateFromString(const QString& text);

    virtual ~VXProcessMessage();

    virtual QString GetName() const;
    // The arguments, modifiable: builders append, readers index.
    virtual QList<QVariant>& GetArgs();
    virtual QString ToString() const;

protected:
    explicit VXProcessMessage(const QString& name);

private:
    QString m_name;
    QList<QVariant> m_args;
};
