#include "VXCore/ITcpManager.h"

#include "VXCore/VXTcpManager.h"

#include <atomic>

namespace {
std::atomic<ITcpManager*> g_installed{nullptr};
}

ITcpManager::~ITcpManager() = default;

ITcpManager* ITcpManager::Instance()
{
    ITcpManager* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : VXTcpManager::Default();
}

void ITcpManager::SetInstance(ITcpManager* manager)
{
    g_installed.store(manager, std::memory_order_release);
}
