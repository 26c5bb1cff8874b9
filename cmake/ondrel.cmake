# Helpers shared by every package folder.
#
#   ondrel_package(NAME [FOLDERS folder...] [DEPS lib...])
#     One static library from every .cpp file in the calling folder, and in the FOLDERS
#     (relative to the repository root) whose code is one with it, linked to DEPS.
#     Headers are included as "package/header.h" from the repository root.
#
#   ondrel_tests(NAME [LIBRARY lib] [DEPS lib...] [ENVIRONMENT NAME=value...])
#     One GoogleTest binary NAME_tests from every .cpp file in the calling folder,
#     linked to the package library (NAME, or LIBRARY when the package is built into
#     another one) and DEPS (test-only libraries such as OpenSSL).
#     Tests run with the repository root as working directory and ENVIRONMENT set.

function(ondrel_package name)
  cmake_parse_arguments(P "" "" "FOLDERS;DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(folder IN LISTS P_FOLDERS)
    file(GLOB more CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
    list(APPEND srcs ${more})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${P_DEPS})
endfunction()

function(ondrel_tests name)
  cmake_parse_arguments(P "" "LIBRARY" "DEPS;ENVIRONMENT" ${ARGN})
  if(NOT P_LIBRARY)
    set(P_LIBRARY ${name})
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name}_tests ${srcs})
  target_link_libraries(${name}_tests PRIVATE ${P_LIBRARY} ${P_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name}_tests PRIVATE
    ONDREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ONDREL_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  include(GoogleTest)
  gtest_discover_tests(${name}_tests WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "${P_ENVIRONMENT}")
endfunction()
