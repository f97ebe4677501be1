#include "PlatformKKWrapper/KKInboundRoutes.h"

#include "PlatformKKWrapper/IKKCallbackInterface.h"

#include <iterator>

namespace {

QString Text(const QList<QVariant>& args, int i) { return args[i].toString(); }

const KKInboundRoute kRoutes[] = {
    {"OpenUrl", 2, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnOpenUrl(Text(a, 0), a[1].toBool()); }},
    {"OpenPlugin", 1, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnOpenPlugin(Text(a, 0)); }},
    {"OpenSetting", 1, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnOpenSetting(Text(a, 0)); }},
    {"ShowMessageBox", 2,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnShowMessageBox(Text(a, 0), a[1].toUInt()); }},
    {"ChangeStatusCallback", 1, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnChangeStatus(a[0].toInt()); }},
    {"BaseInfoChanged", 1, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnBaseInfoChanged(Text(a, 0)); }},
    {"ActivePlatform", 0, [](IKKCallbackInterface* c, const QList<QVariant>&) { c->OnActivePlatform(); }},
    {"UnreadMessageChanged", 1,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnUnreadMessageChanged(a[0].toInt()); }},
    {"TrayIconAction", 3,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) {
         c->OnTrayIconAction(a[0].toBool(), Text(a, 1), a[2].toInt());
     }},
    {"ChangeLoginInitStatus", 1,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnChangeLoginInitStatus(a[0].toInt()); }},
    {"ChangeSkin", 1, [](IKKCallbackInterface* c, const QList<QVariant>& a) { c->OnChangeSkin(Text(a, 0)); }},
    {"UpgradeNewVersion", 0, [](IKKCallbackInterface* c, const QList<QVariant>&) { c->OnUpgradeNewVersion(); }},
    {"LoginNewAccount", 0, [](IKKCallbackInterface* c, const QList<QVariant>&) { c->OnLoginNewAccount(); }},
    {"UploadInterfaceException", 4,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) {
         c->OnUploadInterfaceException(a[0].toInt(), Text(a, 1), Text(a, 2), Text(a, 3));
     }},
    {"UploadCefException", 6,
     [](IKKCallbackInterface* c, const QList<QVariant>& a) {
         c->OnUploadCefException(a[0].toInt(), Text(a, 1), Text(a, 2), Text(a, 3), Text(a, 4), Text(a, 5));
     }},
};

}  // namespace

const KKInboundRoute* KKInboundRoute::Find(const QString& name)
{
    for (const KKInboundRoute& route : kRoutes) {
        if (name == QLatin1String(route.name))
            return &route;
    }
    return nullptr;
}
