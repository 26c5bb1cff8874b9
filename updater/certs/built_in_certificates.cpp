// Compiled once per certificate pair, each time with its own generated vpk_certificates.inc.
#include <cstdint>

#include "updater/certificates.h"
#include "vpk_certificates.inc"

VpkCertificate vpk_built_in_certificate(int which) {
  if (which == 1) return {kVpkCertificate1, sizeof kVpkCertificate1};
  if (which == 2) return {kVpkCertificate2, sizeof kVpkCertificate2};
  return {nullptr, 0};
}
