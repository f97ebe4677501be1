#include "VXCore/ITcpManager.h"

#include "VXCore/VXTcpManager.h"

ITcpManager::~ITcpManager() = default;

ITcpManager* ITcpManager::Instance()
{
    return VXTcpManager::Default();
}
