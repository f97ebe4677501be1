#pragma once

#include <QtCore/qglobal.h>

#if defined(VXFOUNDATION_LIBRARY)
#  define VXFOUNDATION_EXPORT Q_DECL_EXPORT
#else
#  define VXFOUNDATION_EXPORT Q_DECL_IMPORT
#endif
