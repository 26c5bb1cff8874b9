#include "updater/archive_checks.h"

#include "updater/accepted_channels.h"
#include "updater/certificates.h"
#include "updater/version_compare.h"
#include "updater/vpk_archive.h"
#include "updater/vpk_product_info.h"
#include "updater/vpk_signature.h"

namespace {

bool verifies_with(const VpkArchive* archive, int which) {
  const VpkCertificate cert = vpk_built_in_certificate(which);
  return vpk_verify_signatures(archive, cert.der, cert.size) == 0;
}

}  // namespace

UpdaterError check_archive(const char* install_dir) {
  // liblzma's CRC tables are built in: nothing to set up before items are decoded.
  const VpkArchive* archive = vpk_archive();
  if (archive == nullptr) return ARCHIVE_NOT_OPEN_ERROR;
  if (!verifies_with(archive, 1) && !verifies_with(archive, 2)) return SIGNATURE_ERROR;
  if (load_accepted_channels(install_dir) != OK) return SETTINGS_ERROR;
  VpkProductInfo info;
  if (vpk_read_product_info(archive, &info) != 0) return PRODUCT_INFO_ERROR;
  if (!channel_accepted(gAcceptedChannels.value_or(""), info.channel)) return CHANNEL_ERROR;
  if (compare_versions(kUpdaterVersion, info.version) > 0) return VERSION_DOWNGRADE_ERROR;
  return OK;
}
