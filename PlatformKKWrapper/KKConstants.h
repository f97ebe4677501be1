#pragma once

#include <QString>

// The host's shared constants that the module uses. They are created when the library is
// loaded and live until it is unloaded; they are never changed.

// Tracking identifier of every event the manager and the request wrapper record.
extern const QString KKTrackId;            // "370"
// Tracking identifier of every event the pipe server records.
extern const QString PipeTrackId;          // "746"
// Router address of the host's configuration service.
extern const QString ConfigObjectServiceUri;    // "vx://config/object/service"
// Configuration key that chooses how the chat client is launched: true starts it as a child
// VXProcess, false (the default) as a detached process.
extern const QString StartKkUseVxProcessSwitch; // "pc_start_kk_use_vxprocess_switch"

// Configuration keys of the module's own limits and texts (see VXKopkopManager.h).
extern const QString KopkopConnectTimeoutKey;   // "pc_kopkop_connect_timeout_ms"
extern const QString KopkopMaxFrameBytesKey;    // "pc_kopkop_max_frame_bytes"
extern const QString KopkopDownloadUrlKey;      // "pc_kopkop_download_url"
