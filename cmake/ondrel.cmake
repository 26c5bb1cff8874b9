# Helpers shared by every package folder.
#
#   ondrel_package(NAME [DEPS lib...])
#     One static library from every .cpp file in the calling folder, linked to DEPS.
#     Headers are included as "package/header.h" from the repository root.
#
#   ondrel_tests(NAME [DEPS lib...])
#     One GoogleTest binary NAME_tests from every .cpp file in the calling folder,
#     linked to the package library NAME and DEPS (test-only libraries such as OpenSSL).
#     Tests run with the repository root as working directory.

function(ondrel_package name)
  cmake_parse_arguments(P "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${P_DEPS})
endfunction()

function(ondrel_tests name)
  cmake_parse_arguments(P "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name}_tests ${srcs})
  target_link_libraries(${name}_tests PRIVATE ${name} ${P_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name}_tests PRIVATE
    ONDREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ONDREL_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  include(GoogleTest)
  gtest_discover_tests(${name}_tests WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} DISCOVERY_TIMEOUT 60)
endfunction()
