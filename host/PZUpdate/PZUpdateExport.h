#pragma once

#include <QtCore/qglobal.h>

#if defined(PZUPDATE_LIBRARY)
#  define PZUPDATE_EXPORT Q_DECL_EXPORT
#else
#  define PZUPDATE_EXPORT Q_DECL_IMPORT
#endif
