#include "VXFrameData/IGeneralData.h"

#include "VXFrameData/VXKKData.h"

namespace {

class BuiltInGeneralData : public IGeneralData
{
public:
    VXKKData* GetKKData() override { return &m_kkData; }

private:
    VXKKData m_kkData;
};

}  // namespace

IGeneralData::~IGeneralData() = default;

IGeneralData* IGeneralData::Instance()
{
    static BuiltInGeneralData* builtIn = new BuiltInGeneralData;  // never destroyed
    return builtIn;
}
