# Libraries of the Windows builds, prepared by scripts/build_windows.sh in QN_WINDOWS_DEPS:
# a static libsodium and GoogleTest under prefix/, spdlog, fmt and Boost headers under headers/.
set(QN_WINDOWS_DEPS "" CACHE PATH "Folder of the Windows build's libraries")
if(NOT IS_DIRECTORY "${QN_WINDOWS_DEPS}/prefix")
  message(FATAL_ERROR "QN_WINDOWS_DEPS must name the folder scripts/build_windows.sh prepares")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${QN_WINDOWS_DEPS}/prefix)

# spdlog and fmt header-only: no Linux library can be linked into a Windows program.
add_library(spdlog::spdlog INTERFACE IMPORTED)
set_target_properties(spdlog::spdlog PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${QN_WINDOWS_DEPS}/headers
  INTERFACE_COMPILE_DEFINITIONS "SPDLOG_HEADER_ONLY;FMT_HEADER_ONLY")

set(ENV{PKG_CONFIG_LIBDIR} ${QN_WINDOWS_DEPS}/prefix/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
set_property(TARGET PkgConfig::SODIUM APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)

# Windows 7 API level; one file to copy: the compiler's runtime and winpthread linked in.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
add_link_options(-static -static-libgcc -static-libstdc++)
# What a user copies carries no debug information (it is in the objects).
add_link_options(-s)

# The DLL beside the programs that load it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
