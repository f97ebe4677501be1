#include "VXCore/IMonitorSystem.h"

#include "VXCore/VXMonitorSystem.h"

#include <atomic>

namespace {
std::atomic<IMonitorSystem*> g_installed{nullptr};
}

IMonitorSystem::~IMonitorSystem() = default;

IMonitorSystem* IMonitorSystem::GetMonitorSystem()
{
    IMonitorSystem* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : VXMonitorSystem::Default();
}

void IMonitorSystem::SetMonitorSystem(IMonitorSystem* monitor)
{
    g_installed.store(monitor, std::memory_order_release);
}
