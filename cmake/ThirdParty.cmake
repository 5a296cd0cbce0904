# Header-only libraries for the host simulator, from Debian's packages.
# Natively they come through their CMake packages; for the Windows cross-build
# the same headers are reached through a private include folder, since the
# build must not see the rest of the Linux /usr/include.
add_library(dvx_thirdparty INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(inc ${CMAKE_BINARY_DIR}/thirdparty-include)
  file(MAKE_DIRECTORY ${inc})
  foreach(pair "Eigen=/usr/include/eigen3/Eigen" "unsupported=/usr/include/eigen3/unsupported"
               "Spectra=/usr/include/Spectra" "CLI=/usr/include/CLI" "nlohmann=/usr/include/nlohmann")
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 name)
    list(GET parts 1 source)
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "Missing ${source}: run 'make deps' (Debian packages libeigen3-dev, libspectra-dev, libcli11-dev, nlohmann-json3-dev)")
    endif()
    if(NOT EXISTS ${inc}/${name})
      file(CREATE_LINK ${source} ${inc}/${name} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(dvx_thirdparty SYSTEM INTERFACE ${inc})
else()
  find_package(Eigen3 3.3 REQUIRED NO_MODULE)
  # Spectra 1.0 (libspectra-dev): the sparse eigensolver of the modes.
  find_package(spectra 1.0 REQUIRED)
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(dvx_thirdparty INTERFACE Eigen3::Eigen Spectra::Spectra CLI11::CLI11 nlohmann_json::nlohmann_json)
endif()

# GoogleTest: Debian's prebuilt libraries natively, its sources for Windows.
if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
