#include "DemoCallback.h"

#include "Timeline.h"

namespace {

QString Quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString Bool(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

}  // namespace

DemoCallback::DemoCallback(Timeline* timeline, QObject* parent) : QObject(parent), m_timeline(timeline) {}

void DemoCallback::Print(const QString& name, const QString& arguments)
{
    m_timeline->Print(QStringLiteral("callback"), QStringLiteral("%1(%2)").arg(name, arguments));
    emit Called(name);
}

void DemoCallback::OnStartupCompleted(unsigned int value, const QString& text)
{
    m_lastStartupValue = value;
    Print(QStringLiteral("OnStartupCompleted"), QStringLiteral("%1, %2").arg(value).arg(Quoted(text)));
}

void DemoCallback::OnShowMessageBox(const QString& text, unsigned int kind)
{
    Print(QStringLiteral("OnShowMessageBox"), QStringLiteral("%1, %2").arg(Quoted(text)).arg(kind));
}

void DemoCallback::OnChangeStatus(int status) { Print(QStringLiteral("OnChangeStatus"), QString::number(status)); }

void DemoCallback::OnChangeLoginInitStatus(int status)
{
    Print(QStringLiteral("OnChangeLoginInitStatus"), QString::number(status));
}

void DemoCallback::OnBaseInfoChanged(const QString& info) { Print(QStringLiteral("OnBaseInfoChanged"), Quoted(info)); }
void DemoCallback::OnActivePlatform() { Print(QStringLiteral("OnActivePlatform"), QString()); }

void DemoCallback::OnOpenUrl(const QString& url, bool inside)
{
    Print(QStringLiteral("OnOpenUrl"), QStringLiteral("%1, %2").arg(Quoted(url), Bool(inside)));
}

void DemoCallback::OnOpenPlugin(const QString& plugin) { Print(QStringLiteral("OnOpenPlugin"), Quoted(plugin)); }
void DemoCallback::OnOpenSetting(const QString& page) { Print(QStringLiteral("OnOpenSetting"), Quoted(page)); }

void DemoCallback::OnUnreadMessageChanged(int count)
{
    Print(QStringLiteral("OnUnreadMessageChanged"), QString::number(count));
}

void DemoCallback::OnTrayIconAction(bool flag, const QString& action, int value)
{
    Print(QStringLiteral("OnTrayIconAction"), QStringLiteral("%1, %2, %3").arg(Bool(flag), Quoted(action)).arg(value));
}

void DemoCallback::OnChangeSkin(const QString& skinName) { Print(QStringLiteral("OnChangeSkin"), Quoted(skinName)); }
void DemoCallback::OnUpgradeNewVersion() { Print(QStringLiteral("OnUpgradeNewVersion"), QString()); }
void DemoCallback::OnLoginNewAccount() { Print(QStringLiteral("OnLoginNewAccount"), QString()); }

void DemoCallback::OnUploadInterfaceException(int code, const QString& a, const QString& b, const QString& c)
{
    Print(QStringLiteral("OnUploadInterfaceException"),
          QStringLiteral("%1, %2, %3, %4").arg(code).arg(Quoted(a), Quoted(b), Quoted(c)));
}

void DemoCallback::OnUploadCefException(int code, const QString& a, const QString& b, const QString& c,
                                        const QString& d, const QString& e)
{
    Print(QStringLiteral("OnUploadCefException"),
          QStringLiteral("%1, %2, %3, %4, %5, %6").arg(code).arg(Quoted(a), Quoted(b), Quoted(c), Quoted(d), Quoted(e)));
}
