#pragma once
// The status file "update.status" in the patch directory, read by whoever started the
// updater: one of "applying", "succeeded\n", "applied\n", "pending" or "failed: %d\n".

// Replaces "<patch_dir>/update.status" by a file holding exactly `status`. The text goes
// to a temporary file beside it, which is flushed, synced and closed before it is
// renamed over the old one: a crash or a full disk leaves the old status whole. Returns
// true only when the new status is in place; every failure is logged.
bool WriteToFile(const char* patch_dir, const char* status);
