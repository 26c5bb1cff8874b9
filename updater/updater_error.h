#pragma once
// The result of every updater step. 0 means success; any other value names the first
// failure of a run and ends up in the status file as "failed: <code>". Steps never throw:
// they log one line to the update log and return one of these codes.
#include <cstdint>

using UpdaterError = std::int32_t;

inline constexpr UpdaterError OK = 0;
inline constexpr UpdaterError NO_ACTIONS_ERROR = 1;
inline constexpr UpdaterError SOURCE_SIZE_ERROR = 2;
inline constexpr UpdaterError PATH_TOO_LONG_ERROR = 3;
inline constexpr UpdaterError CRC_ERROR = 4;
inline constexpr UpdaterError PARSE_ERROR = 5;
inline constexpr UpdaterError READ_ERROR = 6;
inline constexpr UpdaterError WRITE_ERROR = 7;
inline constexpr UpdaterError ARCHIVE_MEMORY_ERROR = 11;
inline constexpr UpdaterError PATCH_MEMORY_ERROR = 12;
inline constexpr UpdaterError FILE_MEMORY_ERROR = 13;
inline constexpr UpdaterError DIR_WALK_MEMORY_ERROR = 14;
inline constexpr UpdaterError SIGNATURE_ERROR = 19;
inline constexpr UpdaterError ARCHIVE_NOT_OPEN_ERROR = 20;
inline constexpr UpdaterError PRODUCT_INFO_ERROR = 21;
inline constexpr UpdaterError CHANNEL_ERROR = 22;
inline constexpr UpdaterError VERSION_DOWNGRADE_ERROR = 23;
inline constexpr UpdaterError SETTINGS_ERROR = 38;
inline constexpr UpdaterError EXTRACT_ERROR = 39;
inline constexpr UpdaterError EMPTY_ITEM_ERROR = 40;
inline constexpr UpdaterError CORRUPT_PATCH_ERROR = 41;
inline constexpr UpdaterError DIR_WALK_ERROR = 42;
inline constexpr UpdaterError NOT_A_DIRECTORY_ERROR = 46;
inline constexpr UpdaterError NOT_A_FILE_ERROR = 47;
inline constexpr UpdaterError RENAME_NOT_A_FILE_ERROR = 48;
inline constexpr UpdaterError COPY_WRITE_ERROR = 61;
inline constexpr UpdaterError REMOVE_ERROR = 62;
inline constexpr UpdaterError CREATE_NEW_FILE_ERROR = 63;
inline constexpr UpdaterError PATCH_WRITE_ERROR = 64;
inline constexpr UpdaterError FILE_NOT_WRITABLE_ERROR = 67;
inline constexpr UpdaterError DIR_NOT_WRITABLE_ERROR = 68;
inline constexpr UpdaterError EXTRACT_WRITE_ERROR = 70;
inline constexpr UpdaterError INVALID_INSTALL_DIR_ERROR = 75;
inline constexpr UpdaterError INVALID_WORKING_DIR_ERROR = 76;
inline constexpr UpdaterError INVALID_CALLBACK_PATH_ERROR = 77;
inline constexpr UpdaterError CALLBACK_NOT_IN_INSTALL_DIR_ERROR = 78;
