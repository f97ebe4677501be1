#include "VXCore/IMonitorSystem.h"

#include "VXCore/VXMonitorSystem.h"

IMonitorSystem::~IMonitorSystem() = default;

IMonitorSystem* IMonitorSystem::GetMonitorSystem()
{
    return VXMonitorSystem::Default();
}
