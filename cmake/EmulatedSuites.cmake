# The Windows build's DLLs on the emulated i386 CPU, for machines whose
# kernel runs no 32-bit code (where Wine cannot start): the suites that
# drive the library through the host kit, built natively, load
# build/windows/*.dll (DVX_COMPONENT_DIR) instead of the native libraries.
# Label "emulated" (ctest --preset emulated); the emulator's own tests also
# carry "emulator", and run on every machine (scripts/test-dll.sh).
if(WIN32 OR DVX_SANITIZE OR DVX_FUZZ)
  return()
endif()
set(DVX_WINDOWS_BUILD ${CMAKE_SOURCE_DIR}/build/windows CACHE PATH
    "The Windows build whose DLLs the emulated suites load")
set(dvx_dll ${DVX_WINDOWS_BUILD}/Dolvanex.dll)

# dvx_emulated_test(<name> COMMAND <command...> [LABELS <labels...>]
#                   [ENVIRONMENT <NAME=VALUE...>] [PROPERTIES <property value...>])
function(dvx_emulated_test name)
  cmake_parse_arguments(ARG "" "" "COMMAND;LABELS;ENVIRONMENT;PROPERTIES" ${ARGN})
  add_test(NAME emulated_${name} COMMAND ${ARG_COMMAND} WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(emulated_${name} PROPERTIES LABELS "emulated;${ARG_LABELS}" REQUIRED_FILES ${dvx_dll}
                       ENVIRONMENT "DVX_COMPONENT_DIR=${DVX_WINDOWS_BUILD};${ARG_ENVIRONMENT}" ${ARG_PROPERTIES})
endfunction()

function(dvx_emulated_suite name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE dvx_hosttool GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE DVX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(${name} Dolvanex)
  dvx_warnings(${name})
endfunction()

# The emulator itself: the CPU, the imports, the loader; then every example
# against the native library, bit for bit.
dvx_emulated_suite(emulator_tests tests/test_emulator_machine.cpp tests/test_emulator_imports.cpp
                   tests/test_emulator_loader.cpp)
dvx_emulated_test(emulator_tests COMMAND emulator_tests LABELS emulator)
dvx_emulated_suite(emulated_examples_tests tests/test_emulated_examples.cpp)
dvx_emulated_test(examples COMMAND emulated_examples_tests PROPERTIES COST 100)

# The suites of the component: call sequences, statuses, set-up, layout,
# steps, outputs, unsized blocks, the host's floating-point modes, injected
# allocation failures, the fuzzers' findings, the documents' tables.
foreach(suite boundary_tests component_tests fault_tests fuzz_finding_tests document_tests)
  dvx_emulated_test(${suite} COMMAND ${suite})
endforeach()

# The simulator's tests that are about the library: runs that fail in the
# component or in a broken library, the tool's check, and shared and own
# blocks (the rest of hostsim_tests exercises the simulator itself, which
# is the same whichever library it drives).
dvx_emulated_test(hostsim_library_tests COMMAND hostsim_tests
                  ENVIRONMENT "GTEST_FILTER=RunFailures.*:ToolTest.Check*:ToolTest.Info*:BlockPool.*:EveryExample/SharedBlocks.*"
                  PROPERTIES COST 100)

# The conformance check, the checker's own findings, a library without an
# export.
dvx_emulated_test(tool_check COMMAND dolvanex-host check --lib ${dvx_dll})
dvx_emulated_test(tool_check_finds_faults COMMAND dolvanex-host check --lib ${DVX_WINDOWS_BUILD}/HostsimBroken.dll
                  PROPERTIES PASS_REGULAR_EXPRESSION "[0-9]+ findings?" FAIL_REGULAR_EXPRESSION "cannot load")
dvx_emulated_test(tool_library_lacking_export
                  COMMAND dolvanex-host run --lib ${DVX_WINDOWS_BUILD}/HostsimBrokenNoMain.dll
                  PROPERTIES PASS_REGULAR_EXPRESSION "lacks the export UDMMain")

# The call-sequence fuzzer's corpus through the test build of the DLL.
file(GLOB dvx_fuzz_include_candidates /usr/lib/llvm-*/lib/clang/*/include)
find_path(DVX_FUZZED_DATA_PROVIDER_DIR fuzzer/FuzzedDataProvider.h PATHS ${dvx_fuzz_include_candidates}
          REQUIRED)
# The one header only: clang's include folder holds its own stddef.h.
configure_file(${DVX_FUZZED_DATA_PROVIDER_DIR}/fuzzer/FuzzedDataProvider.h
               ${CMAKE_BINARY_DIR}/fuzz-include/fuzzer/FuzzedDataProvider.h COPYONLY)
add_executable(calls_corpus_replay fuzz/replay_calls.cpp fuzz/fuzz_calls.cpp fuzz/fuzz_host.cpp
               fuzz/call_world.cpp fuzz/loaded_component.cpp)
target_include_directories(calls_corpus_replay PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(calls_corpus_replay SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/fuzz-include)
target_link_libraries(calls_corpus_replay PRIVATE dvx_hostkit)
dvx_warnings(calls_corpus_replay)
dvx_emulated_test(calls_corpus COMMAND calls_corpus_replay ${DVX_WINDOWS_BUILD}/DolvanexFaulty.dll
                  ${CMAKE_SOURCE_DIR}/fuzz/corpus/calls_fuzzer)
