#pragma once

#include <QtCore/qglobal.h>

#if defined(PLATFORMKKWRAPPER_LIBRARY)
#  define PLATFORMKKWRAPPER_EXPORT Q_DECL_EXPORT
#else
#  define PLATFORMKKWRAPPER_EXPORT Q_DECL_IMPORT
#endif
