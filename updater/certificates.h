#pragma once
// The two certificates whose keys update archives are checked with, tried in this order.
//
// Only their public keys are used. They are compiled in from DER files by a library of
// their own, chosen when the program is linked: the shipped program links the configured
// pair (updater_certs), the tests link the test pair (updater_test_certs).
#include <cstddef>
#include <cstdint>

struct VpkCertificate {
  const std::uint8_t* der;
  std::size_t size;
};

// Certificate 1 or 2; {nullptr, 0} for any other number.
VpkCertificate vpk_built_in_certificate(int which);
