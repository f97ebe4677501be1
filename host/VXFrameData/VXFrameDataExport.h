#pragma once

#include <QtCore/qglobal.h>

#if defined(VXFRAMEDATA_LIBRARY)
#  define VXFRAMEDATA_EXPORT Q_DECL_EXPORT
#else
#  define VXFRAMEDATA_EXPORT Q_DECL_IMPORT
#endif
