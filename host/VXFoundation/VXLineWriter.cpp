#include "VXFoundation/VXLineWriter.h"

#include <QFile>

VXLineWriter::~VXLineWriter()
{
    if (m_file)
        std::fclose(m_file);
}

bool VXLineWriter::SetFile(const QString& path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_path.clear();
    if (path.isEmpty())
        return true;
#if defined(Q_OS_WIN)
    // Binary: every line ends in "\n" on every system, as the JSON-line readers expect. Windows
    // cannot mark a FILE as close-on-exec; its child processes inherit no CRT streams anyway.
    m_file = _wfopen(reinterpret_cast<const wchar_t*>(path.utf16()), L"ab");
#else
    m_file = std::fopen(QFile::encodeName(path).constData(), "ae");  // e: not inherited by children
#endif
    if (!m_file)
        return false;
    m_path = path;
    return true;
}

QString VXLineWriter::File() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

void VXLineWriter::SetStderr(bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stderr = enabled;
}

bool VXLineWriter::IsActive() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file || m_stderr;
}

void VXLineWriter::WriteLine(const QByteArray& line)
{
    QByteArray data;
    data.reserve(line.size() + 1);
    data.append(line).append('\n');
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file) {
        std::fwrite(data.constData(), 1, size_t(data.size()), m_file);
        std::fflush(m_file);
    }
    if (m_stderr) {
        std::fwrite(data.constData(), 1, size_t(data.size()), stderr);
        std::fflush(stderr);
    }
}
