#pragma once

#include "VXFrameData/VXFrameDataExport.h"

class VXKKData;

// The host's shared frame data. Instance() returns the implementation the host installed with
// SetInstance(), or a built-in one that holds a single VXKKData for the whole process.
class VXFRAMEDATA_EXPORT IGeneralData
{
public:
    virtual ~IGeneralData();

    static IGeneralData* Instance();
    // Installs the host's own implementation (not owned; null restores the built-in one).
    static void SetInstance(IGeneralData* data);

    // The chat client's shared state; never null for the built-in implementation.
    virtual VXKKData* GetKKData() = 0;
};
