# SUNDIALS IDA for the host simulator, built from
# Debian's source package for both targets alike: the same version, the
# same options, and for Windows our own cross toolchain. scripts/install-deps.sh
# unpacks the source into build/deps/sundials; only IDA is built, as a static
# library that carries the serial vector, the Newton solver and the band
# solver with it. Our sanitizer options do not reach it: it is a C library
# of its own.
set(DVX_SUNDIALS_SOURCE ${CMAKE_SOURCE_DIR}/build/deps/sundials CACHE PATH
    "Unpacked SUNDIALS source (Debian's source package)")
if(NOT EXISTS ${DVX_SUNDIALS_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No SUNDIALS source in ${DVX_SUNDIALS_SOURCE}: run 'make deps' "
                      "(scripts/install-deps.sh fetches Debian's source package)")
endif()

include(ExternalProject)
set(dvx_sundials_prefix ${CMAKE_BINARY_DIR}/sundials)
set(dvx_sundials_library ${dvx_sundials_prefix}/lib/libsundials_ida.a)
set(dvx_sundials_args
  -DCMAKE_INSTALL_PREFIX=${dvx_sundials_prefix}
  -DCMAKE_INSTALL_LIBDIR=lib
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_STATIC_LIBS=ON
  -DBUILD_ARKODE=OFF -DBUILD_CVODE=OFF -DBUILD_CVODES=OFF -DBUILD_IDA=ON -DBUILD_IDAS=OFF -DBUILD_KINSOL=OFF
  -DEXAMPLES_ENABLE_C=OFF -DEXAMPLES_ENABLE_CXX=OFF -DEXAMPLES_INSTALL=OFF
  -DBUILD_FORTRAN_MODULE_INTERFACE=OFF)
if(CMAKE_CROSSCOMPILING)
  list(APPEND dvx_sundials_args -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} "-DCMAKE_C_FLAGS=-msse2 -mfpmath=sse")
else()
  list(APPEND dvx_sundials_args -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER})
endif()
ExternalProject_Add(sundials_build
  SOURCE_DIR ${DVX_SUNDIALS_SOURCE}
  BINARY_DIR ${CMAKE_BINARY_DIR}/sundials-build
  INSTALL_DIR ${dvx_sundials_prefix}
  CMAKE_ARGS ${dvx_sundials_args}
  BUILD_BYPRODUCTS ${dvx_sundials_library}
  UPDATE_COMMAND ""
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)

file(MAKE_DIRECTORY ${dvx_sundials_prefix}/include)
add_library(dvx_sundials STATIC IMPORTED GLOBAL)
set_target_properties(dvx_sundials PROPERTIES
  IMPORTED_LOCATION ${dvx_sundials_library}
  INTERFACE_INCLUDE_DIRECTORIES ${dvx_sundials_prefix}/include)
add_dependencies(dvx_sundials sundials_build)
