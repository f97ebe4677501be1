# Cross build of the whole project for 64-bit Windows with Debian's MinGW-w64 (posix threads, for
# std::thread) against the Qt that scripts/qt-mingw.sh cross-builds; the programs run under Wine.
# The Qt prefix: $KK_QT_MINGW_PREFIX, else the one the script built or used last.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(DEFINED ENV{KK_QT_MINGW_PREFIX})
    set(KK_QT_MINGW_PREFIX "$ENV{KK_QT_MINGW_PREFIX}")
elseif(EXISTS /var/cache/kk-qt-mingw/current/prefix)
    set(KK_QT_MINGW_PREFIX /var/cache/kk-qt-mingw/current/prefix)
else()
    set(KK_QT_MINGW_PREFIX "$ENV{HOME}/.cache/kk-qt-mingw/current/prefix")
endif()
# The environment carries it into try_compile's own configure runs too.
set(ENV{KK_QT_MINGW_PREFIX} "${KK_QT_MINGW_PREFIX}")

# Appended to what the command line may give (a consumer of the installed package adds its prefix).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${KK_QT_MINGW_PREFIX}")
list(APPEND CMAKE_PREFIX_PATH "${KK_QT_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
