#include "PlatformKKWrapper/KKConstants.h"

const QString KKTrackId = QLatin1String("370");
const QString PipeTrackId = QLatin1String("746");
const QString ConfigObjectServiceUri = QLatin1String("vx://config/object/service");
const QString StartKkUseVxProcessSwitch = QLatin1String("pc_start_kk_use_vxprocess_switch");
const QString KopkopConnectTimeoutKey = QLatin1String("pc_kopkop_connect_timeout_ms");
const QString KopkopMaxFrameBytesKey = QLatin1String("pc_kopkop_max_frame_bytes");
const QString KopkopDownloadUrlKey = QLatin1String("pc_kopkop_download_url");
