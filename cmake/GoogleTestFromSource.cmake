# GoogleTest for a cross build: Debian's googletest package ships the sources,
# which are built here with the cross compiler and linked statically. Its
# targets carry the names that find_package(GTest) gives on a native build
# (GTest::gtest, GTest::gtest_main).
set(TAVIX_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${TAVIX_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TAVIX_GOOGLETEST_SOURCE} "
                      "(Debian package googletest; scripts/deps installs it)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
add_subdirectory(${TAVIX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(target GTest::gtest GTest::gtest_main)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "${TAVIX_GOOGLETEST_SOURCE} does not define ${target}")
  endif()
endforeach()
