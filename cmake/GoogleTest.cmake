# GoogleTest from Debian's "googletest" source package, built with the project's own compiler and
# flags (the MinGW-w64 cross build has no prebuilt GoogleTest, and sanitizer builds want it
# instrumented too).
set(KK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
function(kk_use_googletest)
    if(TARGET gtest)
        return()
    endif()
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(${KK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
endfunction()
