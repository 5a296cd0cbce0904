# The release: the version resource of the DLL, the install layout of the
# bundles and their CPack settings, and the test that unpacks each bundle and
# runs the host tool from it.
#
# A bundle is one flat folder: the host tool and the libraries side by side
# (the tool loads the component from its own folder), with examples/, docs/
# and the changelog beside them.

# --- Version resource ----------------------------------------------------------
# The one version number is project(VERSION); Windows shows it in the file's
# properties.
if(WIN32)
  set(DVX_FILE_DESCRIPTION "Dolvanex ideal rotational-to-rotational transformation component")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/Dolvanex.rc.in ${CMAKE_BINARY_DIR}/Dolvanex.rc @ONLY)
  target_sources(Dolvanex PRIVATE ${CMAKE_BINARY_DIR}/Dolvanex.rc)
endif()

# --- Install layout -------------------------------------------------------------
set(DVX_BUNDLE_COMPONENT bundle)
set(dvx_bundle_targets Dolvanex)
if(NOT WIN32)
  list(APPEND dvx_bundle_targets dolvanex_memory)
endif()
if(TARGET dolvanex-host)
  list(APPEND dvx_bundle_targets dolvanex-host)
endif()
if(NOT WIN32)
  # Each binary finds the others in its own folder, wherever the bundle is
  # unpacked; the build tree's paths do not travel with it.
  set_target_properties(${dvx_bundle_targets} PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
# The DLL's import library is for linking against it, which no host does: it
# stays out of the bundle.
install(TARGETS ${dvx_bundle_targets}
        RUNTIME DESTINATION . COMPONENT ${DVX_BUNDLE_COMPONENT}
        LIBRARY DESTINATION . COMPONENT ${DVX_BUNDLE_COMPONENT}
        ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
# Only the examples' own files: models, readmes, reference results and the
# generator script, never an output someone left beside them.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION examples
        COMPONENT ${DVX_BUNDLE_COMPONENT}
        FILES_MATCHING PATTERN "model.json" PATTERN "*.md" PATTERN "reference.csv" PATTERN "*.py")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION docs
        COMPONENT ${DVX_BUNDLE_COMPONENT} FILES_MATCHING PATTERN "*.md")
install(FILES ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT ${DVX_BUNDLE_COMPONENT})
# The Python package drives the Linux tool: python/dolvanex beside the tool,
# as it lies in the build tree, and python/install.py, which makes it
# importable without a network.
set(dvx_bundle_python "")
if(NOT WIN32)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/dolvanex DESTINATION python COMPONENT ${DVX_BUNDLE_COMPONENT}
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  install(FILES ${CMAKE_SOURCE_DIR}/python/install.py DESTINATION python COMPONENT ${DVX_BUNDLE_COMPONENT})
  set(dvx_bundle_python ${DVX_PYTHON})
endif()

# --- CPack ----------------------------------------------------------------------
set(CPACK_PACKAGE_NAME Dolvanex)
set(CPACK_PACKAGE_VENDOR "Dolvanex project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
if(WIN32)
  set(DVX_BUNDLE_GENERATOR ZIP)
  set(DVX_BUNDLE_NAME Dolvanex-${PROJECT_VERSION}-win32)
  set(DVX_BUNDLE_SUFFIX .zip)
else()
  set(DVX_BUNDLE_GENERATOR TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" dvx_platform)
  set(DVX_BUNDLE_NAME Dolvanex-${PROJECT_VERSION}-${dvx_platform})
  set(DVX_BUNDLE_SUFFIX .tar.gz)
endif()
set(CPACK_GENERATOR ${DVX_BUNDLE_GENERATOR})
set(CPACK_PACKAGE_FILE_NAME ${DVX_BUNDLE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Only the bundle component: nothing that a third-party subproject might
# install slips into the download.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Dolvanex;${DVX_BUNDLE_COMPONENT};/")
set(CPACK_STRIP_FILES ON)
include(CPack)

# --- The unpack-and-run test ------------------------------------------------------
# It packs a fresh bundle from this build tree into a private folder (so that
# `make dist` in the same tree is never disturbed), unpacks it into an empty
# folder and runs the host tool from there; the Windows bundle under Wine.
set(dvx_host_file "")
if(TARGET dolvanex-host)
  set(dvx_host_file $<TARGET_FILE_NAME:dolvanex-host>)
endif()
set(dvx_runner "")
if(WIN32)
  set(dvx_runner ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)
endif()
set(dvx_bundle_files "")
foreach(target IN LISTS dvx_bundle_targets)
  list(APPEND dvx_bundle_files $<TARGET_FILE_NAME:${target}>)
endforeach()
add_test(NAME release_bundle
         COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/check-bundle.sh
                 ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${DVX_BUNDLE_GENERATOR}
                 ${DVX_BUNDLE_NAME}${DVX_BUNDLE_SUFFIX} ${PROJECT_VERSION}
                 "${dvx_host_file}" "${dvx_runner}" "${dvx_bundle_python}" ${dvx_bundle_files})
set_tests_properties(release_bundle PROPERTIES TIMEOUT 300)
dvx_skip_where_wine_cannot_run()
