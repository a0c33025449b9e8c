# Vennick-<version>-win64.zip: a folder an operator unpacks and starts on a PC without Qt. The
# program, the Qt DLLs it loads, and the plugins Qt looks for in platforms\ and styles\ beside
# it; all named by Qt's own imported targets, so the list follows the Qt that was built against.
install(TARGETS Vennick RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
        DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# The native look: qwindowsvistastyle up to Qt 6.6, qmodernwindowsstyle from 6.7.
foreach(style QWindowsVistaStylePlugin QModernWindowsStylePlugin)
  if(TARGET Qt6::${style})
    install(FILES $<TARGET_FILE:Qt6::${style}> DESTINATION styles)
  endif()
endforeach()

# The compiler's runtime, where Qt's DLLs need it: Visual C++'s, or a native MinGW's (the Qt
# built here links its runtime statically, and so does the program).
if(MSVC)
  set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
  include(InstallRequiredSystemLibraries)
elseif(MINGW AND NOT CMAKE_CROSSCOMPILING)
  get_filename_component(vennick_mingw_bin "${CMAKE_CXX_COMPILER}" DIRECTORY)
  foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    if(EXISTS "${vennick_mingw_bin}/${dll}")
      install(FILES "${vennick_mingw_bin}/${dll}" DESTINATION .)
    endif()
  endforeach()
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Vennick)
set(CPACK_PACKAGE_VENDOR Vennick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Vennick-${PROJECT_VERSION}-win64)
# Unpacks into a folder of its own, Vennick-<version>-win64\.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
