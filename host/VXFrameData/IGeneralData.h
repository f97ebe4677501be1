#pragma once

#include "VXFrameData/VXFrameDataExport.h"

class VXKKData;

// The host's shared frame data. Instance() returns the built-in one, which holds a single VXKKData
// for the whole process.
class VXFRAMEDATA_EXPORT IGeneralData
{
public:
    virtual ~IGeneralData();

    static IGeneralData* Instance();

    // The chat client's shared state; never null for the built-in implementation.
    virtual VXKKData* GetKKData() = 0;
};
