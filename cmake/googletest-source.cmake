# GoogleTest and GoogleMock built from Debian's sources, for a target that has
# no packaged libraries for the build to link. The source tree defines the
# names find_package(GTest) gives: GTest::gtest, GTest::gtest_main, GTest::gmock.
set(KESTREL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS ${KESTREL_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KESTREL_GTEST_SOURCE}: "
    "install Debian's googletest package (scripts/install-deps-cross)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KESTREL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
