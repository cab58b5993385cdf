# corvo_add_test(NAME SOURCES... [GUI] [THREADS] [LIBS libs...] [TIMEOUT s])
# Engine tests link gtest_main; GUI tests get a main that makes a QApplication
# on the offscreen platform (gtest_discover_tests runs the binary without the
# test's ENVIRONMENT, so the binary sets the platform itself).
# THREADS marks tests that run workers on threads of their own: they carry the
# ctest label "threads", and the target corvo_thread_tests builds just them
# (the ThreadSanitizer build in scripts/test builds and runs only those).
#
# Compile time: the tests' own files are most of what a fresh build compiles,
# and most of each is GoogleTest and Qt. So every engine test reuses one
# precompiled header made with corvo_test_support, every GUI test one made
# with corvo_gui_test_main (which also compiles the GUI tests' main once).
# CORVO_TEST_OPT optimises the tests' own code differently from the product's
# (scripts/test: -Og); the code under test keeps the build type's flags.
# With ccache as the launcher, the headers are cached when ccache's sloppiness
# includes pch_defines,time_macros (CMakeLists.txt sets it for the launcher).
option(CORVO_PCH "Precompile GoogleTest and Qt for the tests" ON)
set(CORVO_TEST_OPT "" CACHE STRING "Optimisation flag for the tests' own code, e.g. -Og (empty: the build type's)")

set(CORVO_PCH_ENGINE
  <gtest/gtest.h>
  <QByteArray> <QCoreApplication> <QDir> <QElapsedTimer> <QFile> <QFileInfo>
  <QProcess> <QString> <QStringList> <QTemporaryDir> <QThread> <QTimer>
  <algorithm> <atomic> <chrono> <condition_variable> <cstdint> <cstdio>
  <cstring> <functional> <memory> <mutex> <random> <string> <thread> <vector>)
set(CORVO_PCH_GUI ${CORVO_PCH_ENGINE}
  <QApplication> <QDialog> <QHeaderView> <QLabel> <QMainWindow> <QMenu>
  <QPushButton> <QSortFilterProxyModel> <QTableWidget> <QTreeWidget> <QWidget>
  <QSignalSpy> <QTest>)

# corvo_test_code(target): the tests' own compile options.
function(corvo_test_code target)
  if(CORVO_TEST_OPT)
    target_compile_options(${target} PRIVATE ${CORVO_TEST_OPT})
  endif()
endfunction()

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
    target_link_libraries(${name} PRIVATE corvo_gui_test_main corvotkl_gui Qt5::Test corvo_test_support ${T_LIBS})
    set(pch_from corvo_gui_test_main)
  else()
    target_link_libraries(${name} PRIVATE corvotkl_engine corvo_test_support GTest::gtest_main ${T_LIBS})
    set(pch_from corvo_test_support)
  endif()
  target_compile_definitions(${name} PRIVATE CORVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             CORVO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  corvo_test_code(${name})
  if(CORVO_PCH)
    target_precompile_headers(${name} REUSE_FROM ${pch_from})
  endif()
  set(labels "")
  if(T_THREADS)
    set(labels threads)
    add_dependencies(corvo_thread_tests ${name})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS "${labels}")
endfunction()
