# The signed-archive part of the updater, included by updater/CMakeLists.txt:
# liblzma and NSS/NSPR from the system, and the two trusted certificates compiled in.
#
# The `updater` library only declares the certificates (updater/certificates.h); one of
# two small libraries defines them, and the program picks one at link time:
#   updater_certs       the pair named by ONDREL_UPDATER_CERT1 and ONDREL_UPDATER_CERT2
#                       (default: the project's release pair, whose private keys are kept
#                       elsewhere), so whoever ships the program builds it with their keys;
#   updater_test_certs  the test pair in tests/data/updater, whose private keys sit beside
#                       them for the tests to sign archives with.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ONDREL_LZMA REQUIRED IMPORTED_TARGET liblzma)
pkg_check_modules(ONDREL_NSS REQUIRED IMPORTED_TARGET nss nspr)
# Imported targets' include folders are system headers, so their warnings stay out of -Werror.
target_link_libraries(updater PUBLIC PkgConfig::ONDREL_LZMA PkgConfig::ONDREL_NSS)

set(ONDREL_UPDATER_CERT1 "${PROJECT_SOURCE_DIR}/updater/certs/release_vpk_cert1.der"
    CACHE FILEPATH "DER certificate whose key update archives are checked with first")
set(ONDREL_UPDATER_CERT2 "${PROJECT_SOURCE_DIR}/updater/certs/release_vpk_cert2.der"
    CACHE FILEPATH "DER certificate whose key update archives are checked with second")

function(ondrel_vpk_certificates name cert1 cert2)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${name})
  set(inc ${dir}/vpk_certificates.inc)
  add_custom_command(OUTPUT ${inc}
    COMMAND ${CMAKE_COMMAND} -DCERT1=${cert1} -DCERT2=${cert2} -DOUT=${inc}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_certificates.cmake
    DEPENDS ${cert1} ${cert2} ${PROJECT_SOURCE_DIR}/cmake/embed_certificates.cmake
    COMMENT "Embedding update-archive certificates for ${name}"
    VERBATIM)
  add_library(${name} STATIC ${PROJECT_SOURCE_DIR}/updater/certs/built_in_certificates.cpp ${inc})
  target_include_directories(${name} PRIVATE ${dir})
  target_link_libraries(${name} PUBLIC updater)
endfunction()

ondrel_vpk_certificates(updater_certs ${ONDREL_UPDATER_CERT1} ${ONDREL_UPDATER_CERT2})
ondrel_vpk_certificates(updater_test_certs ${PROJECT_SOURCE_DIR}/tests/data/updater/test_vpk_cert1.der
                        ${PROJECT_SOURCE_DIR}/tests/data/updater/test_vpk_cert2.der)
