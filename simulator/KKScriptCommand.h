#pragma once

#include "VXFoundation/VXProcessMessage.h"

#include <QByteArray>
#include <QSharedPointer>
#include <QString>

// One line of a simulator script, parsed. The language (docs/simulator.md):
//
//   # comment                       (a line whose first non-blank character is #; blank lines too)
//   send NAME [TAG:VALUE ...]       a message; tags s b i u y as in the text form; a value (or the
//                                   name) may be a JSON string literal: s:"two words\n"
//   raw TEXT                        a frame around TEXT, the rest of the line as it is
//   bytes HEX                       exactly these bytes as one pipe message (blanks allowed)
//   startup                         send StartupCompleted
//   sleep MS
//   wait NAME [MS]                  MS defaults to kDefaultWaitMs
//   flood COUNT NAME [TAG:VALUE ...]
//   crash | close-read-pipe | close-write-pipe
//   exit [CODE]                     CODE 0..255, default 0
//
// Arguments are checked by building the message's text form and reading it back with
// VXProcessMessage, so a script accepts exactly what the protocol does. Pure.
class KKScriptCommand
{
public:
    enum Kind { Nothing, Send, Raw, Bytes, Startup, Sleep, Wait, Flood, Crash, CloseReadPipe, CloseWritePipe, Exit };

    static constexpr int kDefaultWaitMs = 30000;

    Kind kind = Nothing;
    QSharedPointer<VXProcessMessage> message;  // Send, Flood
    QByteArray data;                           // Raw: the payload; Bytes: the pipe message
    QString name;                              // Wait: the message name
    int number = 0;                            // Sleep, Wait: ms; Flood: count; Exit: code

    // False, with a reason in `error`, for an unknown command or bad arguments.
    static bool Parse(const QString& line, KKScriptCommand* out, QString* error);
};
