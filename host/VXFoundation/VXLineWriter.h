#pragma once

#include "VXFoundation/VXFoundationExport.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <mutex>

// Appends whole lines to a file the host names and, when asked, to stderr. Each line is flushed
// as soon as it is written, so a crash loses nothing already logged, and lines written by
// several threads never interleave. Any thread may use it.
class VXFOUNDATION_EXPORT VXLineWriter
{
public:
    VXLineWriter() = default;
    ~VXLineWriter();
    VXLineWriter(const VXLineWriter&) = delete;
    VXLineWriter& operator=(const VXLineWriter&) = delete;

    // Opens `path` for appending (creating it); an empty path closes the file. False, with the
    // previous file closed, if the file cannot be opened.
    bool SetFile(const QString& path);
    QString File() const;
    void SetStderr(bool enabled);
    bool IsActive() const;

    // Writes `line` and a line break.
    void WriteLine(const QByteArray& line);

private:
    mutable std::mutex m_mutex;  // protects every member below
    std::FILE* m_file = nullptr;
    QString m_path;
    bool m_stderr = false;
};
