#pragma once

#include <QString>

// The location text of log lines and tracking events: "%1[%2] %3 " with the source file's name
// (no folders), the line in decimal and the qualified function name, and a trailing blank, e.g.
// "VXPipeServer.cpp[57] VXPipeServer::InitPipe ".
class KKLocation
{
public:
    static QString Text(const char* file, int line, const char* prettyFunction);
    // "bool VXPipeServer::InitPipe(const QString&, const QString&)" -> "VXPipeServer::InitPipe"
    static QString QualifiedName(const char* prettyFunction);
};

// The location text of the place where the macro stands. It is built once per place (the first
// time that place runs, thread-safely) and reused, so a hot path pays nothing for it.
#define KK_LOCATION                                                                                 \
    ([](const char* function) -> const QString& {                                                  \
        static const QString text = KKLocation::Text(__FILE__, __LINE__, function);                \
        return text;                                                                               \
    }(Q_FUNC_INFO))
