// Uses the module and the host libraries only through their installed headers and package.
#include <PlatformKKWrapper/KKSettingEntity.h>
#include <PlatformKKWrapper/VXKopkopManager.h>
#include <VXFoundation/VXProcessMessage.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    auto message = VXProcessMessage::Create(QStringLiteral("OpenUrl"));
    message->GetArgs() << QStringLiteral("https://example.com") << true;
    if (!VXProcessMessage::CreateFromString(message->ToString()))
        return 1;

    VXKopkopManager* manager = VXKopkopManager::Instance();
    manager->Initialize();
    KKSettingEntity setting;
    setting.SetSkinName(QStringLiteral("dark"));
    manager->ChangeSetting(setting);  // no client yet: only logged
    const bool sent = manager->SendCommand(QStringLiteral("hello"));
    VXKopkopManager::ReleaseInstance();
    std::printf("%s %s\n", qPrintable(message->ToString()), sent ? "sent" : "not sent");
    return sent ? 1 : 0;
}
