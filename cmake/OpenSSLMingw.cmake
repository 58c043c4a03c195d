# libcrypto for the Windows build: Debian's OpenSSL source package, configured
# for mingw64 as a static library without apps, tests and docs.  It is built
# once into the build tree and reused by later builds of the same tree.
# QX_OPENSSL_MINGW_ROOT may name the install directory of such a build made
# elsewhere (another build tree of the same checkout) to reuse it.
set(QX_OPENSSL_MINGW_ROOT "" CACHE PATH "Existing mingw libcrypto install to reuse")
if(QX_OPENSSL_MINGW_ROOT AND EXISTS ${QX_OPENSSL_MINGW_ROOT}/lib64/libcrypto.a)
  add_library(OpenSSL::Crypto STATIC IMPORTED GLOBAL)
  set_target_properties(OpenSSL::Crypto PROPERTIES
    IMPORTED_LOCATION ${QX_OPENSSL_MINGW_ROOT}/lib64/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${QX_OPENSSL_MINGW_ROOT}/include
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;advapi32;user32")
  return()
endif()

include(ExternalProject)
set(QX_OPENSSL_DIR ${CMAKE_BINARY_DIR}/_deps/openssl)
set(QX_OPENSSL_PREFIX ${QX_OPENSSL_DIR}/install)
set(QX_OPENSSL_LIB ${QX_OPENSSL_PREFIX}/lib64/libcrypto.a)
file(MAKE_DIRECTORY ${QX_OPENSSL_PREFIX}/include)

ExternalProject_Add(openssl_mingw
  PREFIX ${QX_OPENSSL_DIR}
  DOWNLOAD_COMMAND ${CMAKE_SOURCE_DIR}/cmake/fetch-openssl-source.sh ${QX_OPENSSL_DIR}/src/openssl_mingw
  UPDATE_COMMAND ""
  CONFIGURE_COMMAND <SOURCE_DIR>/Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32-
                    no-shared no-module no-tests no-ui-console no-engine no-dso
                    --prefix=${QX_OPENSSL_PREFIX} --libdir=lib64 --openssldir=${QX_OPENSSL_PREFIX}/ssl
  BUILD_COMMAND make -s -j2 build_generated
        COMMAND make -s -j2 libcrypto.a
  INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${QX_OPENSSL_PREFIX}/lib64
          COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/libcrypto.a ${QX_OPENSSL_PREFIX}/lib64/
          COMMAND ${CMAKE_COMMAND} -E copy_directory <SOURCE_DIR>/include/openssl ${QX_OPENSSL_PREFIX}/include/openssl
  BUILD_IN_SOURCE 1
  BUILD_BYPRODUCTS ${QX_OPENSSL_LIB}
  LOG_CONFIGURE 1 LOG_BUILD 1 LOG_OUTPUT_ON_FAILURE 1
)

add_library(OpenSSL::Crypto STATIC IMPORTED GLOBAL)
set_target_properties(OpenSSL::Crypto PROPERTIES
  IMPORTED_LOCATION ${QX_OPENSSL_LIB}
  INTERFACE_INCLUDE_DIRECTORIES ${QX_OPENSSL_PREFIX}/include
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;advapi32;user32")
add_dependencies(OpenSSL::Crypto openssl_mingw)
