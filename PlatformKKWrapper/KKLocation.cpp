#include "PlatformKKWrapper/KKLocation.h"

#include "VXFoundation/LogHelper.h"

QString KKLocation::Text(const char* file, int line, const char* prettyFunction)
{
    return QStringLiteral("%1[%2] %3 ")
        .arg(LogHelper::GetFileName(QString::fromUtf8(file)), QString::number(line), QualifiedName(prettyFunction));
}

QString KKLocation::QualifiedName(const char* prettyFunction)
{
    QString name = QString::fromUtf8(prettyFunction);
    const int parameters = name.indexOf(QLatin1Char('('));
    if (parameters >= 0)
        name.truncate(parameters);
    const int blank = name.lastIndexOf(QLatin1Char(' '));  // after the return type and calling convention
    if (blank >= 0)
        name.remove(0, blank + 1);
    return name;
}
