#include "VXFrameData/VXKKData.h"

KK_Status VXKKData::GetStatus() const { return static_cast<KK_Status>(m_status.load()); }
void VXKKData::SetStatus(KK_Status status) { m_status.store(status); }
KK_Status VXKKData::GetStartupStatus() const { return static_cast<KK_Status>(m_startupStatus.load()); }
void VXKKData::SetStartupStatus(KK_Status status) { m_startupStatus.store(status); }
bool VXKKData::GetChangeStatus() const { return m_changeStatus.load(); }
void VXKKData::SetChangeStatus(bool changed) { m_changeStatus.store(changed); }
