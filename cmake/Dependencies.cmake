# SPDX-License-Identifier: GPL-3.0-or-later
# Every dependency names the Debian package that provides it, so a failed
# configure says exactly what to install.
find_package(PkgConfig QUIET)

macro(vistrel_require_package cmake_name debian_package)
  find_package(${cmake_name} ${ARGN} QUIET)
  if(NOT ${cmake_name}_FOUND)
    message(FATAL_ERROR "Missing dependency ${cmake_name}: install the Debian package '${debian_package}' (scripts/test.sh does this for you).")
  endif()
endmacro()

find_package(Qt6 6.4 QUIET COMPONENTS Core Gui Widgets DBus Test)
if(NOT Qt6_FOUND)
  message(FATAL_ERROR "Missing dependency Qt 6 (Core, Gui, Widgets, DBus, Test): install the Debian package 'qt6-base-dev'.")
endif()

if(NOT PkgConfig_FOUND)
  message(FATAL_ERROR "Missing pkg-config: install the Debian package 'pkg-config'.")
endif()

pkg_check_modules(JPEG QUIET IMPORTED_TARGET libjpeg)
if(NOT JPEG_FOUND)
  message(FATAL_ERROR "Missing dependency libjpeg: install the Debian package 'libjpeg62-turbo-dev'.")
endif()

pkg_check_modules(V4L2 QUIET IMPORTED_TARGET libv4l2)
pkg_check_modules(V4LCONVERT QUIET IMPORTED_TARGET libv4lconvert)
if(NOT V4L2_FOUND OR NOT V4LCONVERT_FOUND)
  message(FATAL_ERROR "Missing dependency libv4l2/libv4lconvert: install the Debian package 'libv4l-dev'.")
endif()

find_path(LIBYUV_INCLUDE_DIR libyuv.h)
find_library(LIBYUV_LIBRARY yuv)
if(NOT LIBYUV_INCLUDE_DIR OR NOT LIBYUV_LIBRARY)
  message(FATAL_ERROR "Missing dependency libyuv: install the Debian package 'libyuv-dev'.")
endif()
add_library(Vistrel::yuv UNKNOWN IMPORTED)
set_target_properties(Vistrel::yuv PROPERTIES
  IMPORTED_LOCATION "${LIBYUV_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${LIBYUV_INCLUDE_DIR}")

vistrel_require_package(GTest libgtest-dev)
find_path(GMOCK_INCLUDE_DIR gmock/gmock.h)
if(NOT GMOCK_INCLUDE_DIR)
  message(FATAL_ERROR "Missing dependency GoogleMock: install the Debian package 'libgmock-dev'.")
endif()
if(VISTREL_BENCHMARKS)
  vistrel_require_package(benchmark libbenchmark-dev)
endif()
find_package(Threads REQUIRED)

# Export of reviewed footage: MP4 through libavcodec/libavformat/libswscale,
# ZIP checksums through zlib.
pkg_check_modules(LIBAV QUIET IMPORTED_TARGET libavcodec libavformat libswscale libavutil)
if(NOT LIBAV_FOUND)
  message(FATAL_ERROR "Missing dependency libavcodec/libavformat/libswscale: install the Debian packages 'libavcodec-dev', 'libavformat-dev', 'libswscale-dev' and 'libavutil-dev'.")
endif()
pkg_check_modules(ZLIB QUIET IMPORTED_TARGET zlib)
if(NOT ZLIB_FOUND)
  message(FATAL_ERROR "Missing dependency zlib: install the Debian package 'zlib1g-dev'.")
endif()

# The built-in web server: libmicrohttpd (built with GnuTLS), GnuTLS itself for
# the self-signed certificate, libsodium for password hashes.
pkg_check_modules(MICROHTTPD QUIET IMPORTED_TARGET libmicrohttpd>=0.9.75)
if(NOT MICROHTTPD_FOUND)
  message(FATAL_ERROR "Missing dependency libmicrohttpd 0.9.75 or later: install the Debian package 'libmicrohttpd-dev'.")
endif()
pkg_check_modules(GNUTLS QUIET IMPORTED_TARGET gnutls)
if(NOT GNUTLS_FOUND)
  message(FATAL_ERROR "Missing dependency GnuTLS: install the Debian package 'libgnutls28-dev'.")
endif()
pkg_check_modules(SODIUM QUIET IMPORTED_TARGET libsodium)
if(NOT SODIUM_FOUND)
  message(FATAL_ERROR "Missing dependency libsodium: install the Debian package 'libsodium-dev'.")
endif()
# Events: the event log in SQLite, MQTT through libmosquitto.
pkg_check_modules(SQLITE3 QUIET IMPORTED_TARGET sqlite3)
if(NOT SQLITE3_FOUND)
  message(FATAL_ERROR "Missing dependency SQLite: install the Debian package 'libsqlite3-dev'.")
endif()
pkg_check_modules(MOSQUITTO QUIET IMPORTED_TARGET libmosquitto)
if(NOT MOSQUITTO_FOUND)
  message(FATAL_ERROR "Missing dependency libmosquitto: install the Debian package 'libmosquitto-dev'.")
endif()
