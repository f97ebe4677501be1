#pragma once

#include "VXFrameData/KKTypes.h"
#include "VXFrameData/VXFrameDataExport.h"

#include <atomic>

// The chat client's state as the whole host shares it: the status the client reports, the
// status it should start with, and whether the user changed the status. The values persist
// between calls and every part of the host sees the same ones. Any thread may read and write
// them; each value is read and written atomically on its own.
class VXFRAMEDATA_EXPORT VXKKData
{
public:
    VXKKData() = default;
    VXKKData(const VXKKData&) = delete;
    VXKKData& operator=(const VXKKData&) = delete;

    KK_Status GetStatus() const;
    void SetStatus(KK_Status status);
    KK_Status GetStartupStatus() const;
    void SetStartupStatus(KK_Status status);
    bool GetChangeStatus() const;
    void SetChangeStatus(bool changed);

private:
    std::atomic<int> m_status{KK_Status_Offline};
    std::atomic<int> m_startupStatus{KK_Status_Unset};
    std::atomic<bool> m_changeStatus{false};
};
