# cmake --install puts the module, the host stand-ins, the Win32 layer (Linux) and their
# headers under the prefix, with a package configuration, so that a host project builds with
#     find_package(PlatformKKWrapper REQUIRED)
#     target_link_libraries(app PRIVATE PlatformKKWrapper::PlatformKKWrapper)
include(CMakePackageConfigHelpers)

set(kk_install_targets PlatformKKWrapper VXFoundation VXCore VXFrameData YRBase PZUpdate)
if(TARGET Win32Layer)
    list(APPEND kk_install_targets Win32Layer)
    install(DIRECTORY win32/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

install(TARGETS ${kk_install_targets}
    EXPORT PlatformKKWrapperTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Host stand-in headers keep their library folder: <VXFoundation/VXProcessMessage.h>.
install(DIRECTORY host/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
foreach(header ${KK_MODULE_PUBLIC_HEADERS})
    install(FILES PlatformKKWrapper/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/PlatformKKWrapper)
endforeach()

install(EXPORT PlatformKKWrapperTargets
    NAMESPACE PlatformKKWrapper::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PlatformKKWrapper)

configure_package_config_file(cmake/PlatformKKWrapperConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/PlatformKKWrapperConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PlatformKKWrapper)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/PlatformKKWrapperConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/PlatformKKWrapperConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/PlatformKKWrapperConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/PlatformKKWrapper)
