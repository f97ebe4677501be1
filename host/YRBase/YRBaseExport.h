#pragma once

#include <QtCore/qglobal.h>

#if defined(YRBASE_LIBRARY)
#  define YRBASE_EXPORT Q_DECL_EXPORT
#else
#  define YRBASE_EXPORT Q_DECL_IMPORT
#endif
