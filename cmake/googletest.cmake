# GoogleTest for the tests: Debian's installed libraries for a native build;
# for a cross build, Debian's googletest sources compiled with the cross
# compiler, giving the same GTest:: targets.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
  return()
endif()

set(PELKO_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources (package googletest)")
if(NOT EXISTS ${PELKO_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "no GoogleTest sources in ${PELKO_GTEST_SOURCE}: install Debian's googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${PELKO_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# Their code, not ours: our warning flags do not apply to it.
foreach(t gtest gtest_main)
  target_compile_options(${t} PRIVATE -w)
endforeach()
foreach(t gtest gtest_main)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
endforeach()

# The first start of Wine makes its prefix and takes seconds; do it now, so
# that test discovery after each build stays within its time limit.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # Without Wine (status 127) the pelko target still cross-builds on its own;
  # a Wine that cannot start would fail every test discovery later, and less
  # clearly.
  execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --warm-up RESULT_VARIABLE pelko_warm)
  if(pelko_warm EQUAL 127)
    message(WARNING "${CMAKE_CROSSCOMPILING_EMULATOR}: no Wine: only the pelko target builds (its tests need Wine for discovery)")
  elseif(NOT pelko_warm EQUAL 0)
    message(FATAL_ERROR "warming up ${CMAKE_CROSSCOMPILING_EMULATOR} failed (${pelko_warm})")
  endif()
endif()
