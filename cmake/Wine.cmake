# The Windows build's tests run under Wine (cmake/wine-run.sh). Where this
# machine runs no 32-bit code the wrapper does not start them and exits 77:
# CTest reports each as skipped, with the wrapper's reason in its output.
# Call at the end of each directory that adds tests.
function(dvx_skip_where_wine_cannot_run)
  if(NOT WIN32)
    return()
  endif()
  get_property(tests DIRECTORY PROPERTY TESTS)
  if(tests)
    set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()
