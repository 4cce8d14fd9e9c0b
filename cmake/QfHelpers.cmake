# Small helpers shared by every folder's CMakeLists.txt.

# qf_library(<name> SOURCES ... [DEPS ...])
# A static library for one subsystem folder; the repository root is the
# include root, so headers are included as "app/Logger.h".
function(qf_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT A_SOURCES)
    # A folder that has no sources yet still yields a library to link.
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${stub} "// no sources yet\n")
    set(A_SOURCES ${stub})
  endif()
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS} Threads::Threads)
endfunction()

# qf_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT s] [PROPERTIES k v ...])
# One GoogleTest executable registered with CTest. Every test gets a
# timeout so that a hang fails the run instead of stalling it.
function(qf_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;DEPS;LABELS;PROPERTIES" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    QF_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QF_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${A_TIMEOUT} ${A_PROPERTIES})
  # Labels are applied after discovery: passed through the discovery
  # properties, a list of several labels would be split apart.
  if("threads" IN_LIST A_LABELS)
    set_property(GLOBAL APPEND PROPERTY QF_THREADS_TESTS ${name})
  endif()
  if(A_LABELS)
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
      "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${A_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()

# qf_fuzz(<name> SOURCES ... [DEPS ...])
# A fuzz target (LLVMFuzzerTestOneInput). With QF_LIBFUZZER it links
# against libFuzzer; otherwise it links our replay driver, which runs the
# seed corpus plus a fixed number of seeded random mutations, so that every
# ordinary build runs each target as a CTest case.
function(qf_fuzz name)
  cmake_parse_arguments(A "" "RUNS" "SOURCES;DEPS" ${ARGN})
  if(NOT A_RUNS)
    set(A_RUNS 20000)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${A_DEPS} Threads::Threads)
  if(QF_LIBFUZZER)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/ReplayDriver.cpp)
    set(corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    add_test(NAME fuzz.${name} COMMAND ${name} --runs=${A_RUNS} ${corpus})
    set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 300 LABELS fuzz)
  endif()
endfunction()
