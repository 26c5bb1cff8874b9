#pragma once
// Dotted version comparison ("153.8.0" against an archive's version).
//
// Each dotted part is a first number, an optional text, a second number and an optional
// extra text, as in "1", "2b3", "0+" (the next number, text "pre") or "*" (the greatest).
// The texts are never changed and nothing is allocated.
#include <cstddef>

struct VersionPart {
  int first = 0;
  const char* text = nullptr;  // absent when null
  std::size_t text_length = 0;
  int second = 0;
  const char* extra = nullptr;  // absent when null
  std::size_t extra_length = 0;
};

// Parses the part at the start of text (up to its first '.') into part and returns the
// text after that '.', or null when there is no '.', nothing follows it, or text is null
// (which leaves part cleared).
const char* parse_version_part(const char* text, VersionPart* part);

// -1, 0 or 1 as version a is older than, equal to or newer than version b. A part missing
// from one side compares as 0.
int compare_versions(const char* a, const char* b);
