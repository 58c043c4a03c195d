# Third-party libraries: Debian's packages natively; for Windows, libcrypto is
# compiled for mingw-w64 from Debian's OpenSSL source package (see
# OpenSSLMingw.cmake) and SimpleIni is used as the header-only library it is.
find_path(SIMPLEINI_INCLUDE_DIR SimpleIni.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)

if(WIN32)
  include(OpenSSLMingw)
  # Only SimpleIni's header is taken from the host; copying it keeps the host's
  # /usr/include off the cross compiler's search path.
  file(COPY ${SIMPLEINI_INCLUDE_DIR}/SimpleIni.h DESTINATION ${CMAKE_BINARY_DIR}/_deps/simpleini)
  add_library(qx_simpleini INTERFACE)
  target_include_directories(qx_simpleini SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/_deps/simpleini)
  add_library(qx_pcsc INTERFACE)
  target_link_libraries(qx_pcsc INTERFACE winscard)
else()
  find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
  add_library(qx_simpleini INTERFACE)
  target_include_directories(qx_simpleini SYSTEM INTERFACE ${SIMPLEINI_INCLUDE_DIR})
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PCSC REQUIRED IMPORTED_TARGET libpcsclite)
  add_library(qx_pcsc INTERFACE)
  target_link_libraries(qx_pcsc INTERFACE PkgConfig::PCSC)
  find_package(LibXml2 REQUIRED)
endif()

if(QX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
