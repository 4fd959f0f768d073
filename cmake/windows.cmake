# What the Windows cross-build takes in place of the Linux packages, under the target names the
# Linux build gets from pkg-config, so that the rest of the build links the same way.

# libcurl of the Windows SDK (/opt/qt6-mingw64), through its own pkg-config file.
find_package(PkgConfig REQUIRED)
set(ENV{PKG_CONFIG_LIBDIR} "/opt/qt6-mingw64/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)

# Debian's cpp-httplib package is a Linux library; the tests' servers use its single header.
set(DRIVORO_WIN_TOOLCHAINS "" CACHE PATH "Shared Windows toolchain folder (cpp-httplib-0.11.4/httplib.h)")
find_path(DRIVORO_HTTPLIB_DIR httplib.h
    PATHS "${DRIVORO_WIN_TOOLCHAINS}/cpp-httplib-0.11.4" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
target_include_directories(PkgConfig::HTTPLIB INTERFACE "${DRIVORO_HTTPLIB_DIR}")
target_link_libraries(PkgConfig::HTTPLIB INTERFACE ws2_32)
# Windows 8 or later, for the calls httplib makes.
target_compile_definitions(PkgConfig::HTTPLIB INTERFACE _WIN32_WINNT=0x0A00)

# RapidJSON is header-only: reach Debian's headers without putting /usr/include on the path.
set(DRIVORO_RAPIDJSON_LINK "${CMAKE_BINARY_DIR}/rapidjson-include")
if(NOT EXISTS "${DRIVORO_RAPIDJSON_LINK}/rapidjson/document.h")
    file(MAKE_DIRECTORY "${DRIVORO_RAPIDJSON_LINK}")
    file(CREATE_LINK /usr/include/rapidjson "${DRIVORO_RAPIDJSON_LINK}/rapidjson" SYMBOLIC)
endif()
set(RAPIDJSON_INCLUDE_DIR "${DRIVORO_RAPIDJSON_LINK}" CACHE PATH "RapidJSON headers")
# As a system folder, like /usr/include on Linux: its own warnings are not the program's.
include_directories(SYSTEM "${DRIVORO_RAPIDJSON_LINK}")

# Wide-character Win32 calls throughout.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
