#include "YRBase/YRRouterProtocol.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <mutex>

namespace {

struct Registry
{
    std::mutex mutex;  // protects objects
    QHash<QString, QPointer<QObject>> objects;
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // never destroyed: lookups may run at exit
    return *registry;
}

}  // namespace

YRRouterProtocol::YRRouterProtocol(const QString& uri) : m_uri(uri) {}

YRRouterProtocol::~YRRouterProtocol() = default;

QObject* YRRouterProtocol::GetObj() const
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.objects.value(m_uri).data();
}

void YRRouterProtocol::Register(const QString& uri, QObject* object)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (object)
        registry.objects.insert(uri, object);
    else
        registry.objects.remove(uri);
}

void YRRouterProtocol::Unregister(const QString& uri)
{
    Register(uri, nullptr);
}
