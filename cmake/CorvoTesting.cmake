# corvo_add_test(NAME SOURCES... [GUI] [THREADS] [LIBS libs...] [TIMEOUT s])
# Engine tests link gtest_main; GUI tests get a main that makes a QApplication
# on the offscreen platform (gtest_discover_tests runs the binary without the
# test's ENVIRONMENT, so the binary sets the platform itself).
# THREADS marks tests that run workers on threads of their own: they carry the
# ctest label "threads", and the target corvo_thread_tests builds just them
# (the ThreadSanitizer build in scripts/test builds and runs only those).
if(NOT TARGET corvo_thread_tests)
  add_custom_target(corvo_thread_tests)
endif()
function(corvo_add_test name)
  cmake_parse_arguments(T "GUI;THREADS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(srcs ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  if(T_GUI AND NOT TARGET corvotkl_gui)
    return() # engine-only build (sanitizers, fuzzing)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  if(T_GUI)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/gui_main.cpp)
    target_link_libraries(${name} PRIVATE corvotkl_gui Qt5::Test corvo_test_support ${T_LIBS})
  else()
    target_link_libraries(${name} PRIVATE corvotkl_engine corvo_test_support GTest::gtest_main ${T_LIBS})
  endif()
  target_compile_definitions(${name} PRIVATE CORVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             CORVO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  set(labels "")
  if(T_THREADS)
    set(labels threads)
    add_dependencies(corvo_thread_tests ${name})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS "${labels}")
endfunction()
