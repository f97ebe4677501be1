#include "VXFrameData/IGeneralData.h"

#include "VXFrameData/VXKKData.h"

#include <atomic>

namespace {

class BuiltInGeneralData : public IGeneralData
{
public:
    VXKKData* GetKKData() override { return &m_kkData; }

private:
    VXKKData m_kkData;
};

std::atomic<IGeneralData*> g_installed{nullptr};

}  // namespace

IGeneralData::~IGeneralData() = default;

IGeneralData* IGeneralData::Instance()
{
    static BuiltInGeneralData* builtIn = new BuiltInGeneralData;  // never destroyed
    IGeneralData* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : builtIn;
}

void IGeneralData::SetInstance(IGeneralData* data)
{
    g_installed.store(data, std::memory_order_release);
}
