#pragma once
// The checks an opened update archive passes before anything of the installation is
// touched: that it is genuine, and meant for this installation.
#include "updater/updater_error.h"

// The program's own version: an archive may carry this one or a newer one.
inline constexpr const char* kUpdaterVersion = "153.8.0";

// Runs the checks on the open archive, in this order, and returns the first failure:
//   ARCHIVE_NOT_OPEN_ERROR   no archive is open;
//   SIGNATURE_ERROR          it verifies with neither built-in certificate (the first
//                            is tried first);
//   SETTINGS_ERROR           the accepted channels cannot be read from the installation;
//   PRODUCT_INFO_ERROR       its product-information block is missing or malformed;
//   CHANNEL_ERROR            its channel is not accepted;
//   VERSION_DOWNGRADE_ERROR  its version is older than kUpdaterVersion.
// NSS must have been initialised.
UpdaterError check_archive(const char* install_dir);
