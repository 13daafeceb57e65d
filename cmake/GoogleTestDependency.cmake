# Provides GTest::gtest and GTest::gtest_main: built from FAT12IMG_GTEST_SOURCE_DIR when set
# (a cross build has no GoogleTest for its target, but Debian's googletest package ships the
# sources), otherwise from an installed GoogleTest, if any.
if(FAT12IMG_GTEST_SOURCE_DIR)
  if(NOT EXISTS "${FAT12IMG_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt")
    message(FATAL_ERROR "FAT12IMG_GTEST_SOURCE_DIR=${FAT12IMG_GTEST_SOURCE_DIR} holds no "
                        "googletest/CMakeLists.txt (Debian: apt-get install googletest)")
  endif()
  # Only GoogleTest itself, never installed with the tool.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${FAT12IMG_GTEST_SOURCE_DIR}/googletest"
                   "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL SYSTEM)
  # Its own code is not held to this project's warnings.
  set_target_properties(gtest gtest_main PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
else()
  find_package(GTest QUIET)
endif()
