#include "Timeline.h"

#include <cstdio>

Timeline::Timeline()
{
    m_clock.start();
}

void Timeline::Print(const QString& who, const QString& what)
{
    const QByteArray line = QStringLiteral("[%1] %2 %3\n")
                                .arg(m_clock.elapsed() / 1000.0, 7, 'f', 3)
                                .arg(who, -8)
                                .arg(what)
                                .toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}
