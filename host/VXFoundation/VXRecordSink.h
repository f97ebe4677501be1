#pragma once

#include "VXFoundation/VXLineWriter.h"
#include "VXFoundation/VXObserverList.h"

#include <QString>

// Where one kind of host record goes: a file of lines (set by the host, or at start by the
// environment variable named `fileVariable`) and the in-process observers. Each kind keeps one
// sink, created on first use and never destroyed, so that threads may still record while the
// process exits. Both parts are safe to use from any thread.
template <typename Record>
struct VXRecordSink
{
    VXLineWriter writer;
    VXObserverList<Record> observers;

    explicit VXRecordSink(const char* fileVariable)
    {
        const QString file = qEnvironmentVariable(fileVariable);
        if (!file.isEmpty())
            writer.SetFile(file);
    }
};
