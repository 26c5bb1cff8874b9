#pragma once
// The small INI reader for the window texts and the accepted channel list.
#include <optional>
#include <span>
#include <string>

#include "updater/updater_error.h"

// Reads the values of the first values.size() names of `keys` in one section of the
// file at `path`. `keys` is a list of names, each ended by NUL, the list ended by an
// empty name; a null `section` means "Strings".
//
// The file as read: lines end at '\n' or '\r' and empty ones are skipped; a '#' or ';'
// as the very first character makes a comment; a line whose first non-blank (space,
// tab) character is '[' is a section header, its name running to the next ']' (a ']'
// right after '[' belongs to the name) or to the end of the line, and anything but
// blanks after that ']' makes a section that never matches. Inside the wanted section a
// line holds the key from its first non-blank character to the first '=', and the
// value after it to the end of the line; neither is trimmed.
//
// A key that matches the j-th name (first match) with j below values.size() stores its
// value into values[j], replacing an earlier one, and counts once; names at or past
// values.size() and lines without '=' store nothing. So a key given twice counts twice
// and can stand in for a missing one: the result can be OK with a value left empty.
//
// OK when exactly values.size() values were stored, PARSE_ERROR for another number,
// READ_ERROR when the file cannot be opened, is empty, or cannot be read whole.
UpdaterError read_ini(const char* path, const char* keys, std::span<std::optional<std::string>> values,
                      const char* section = nullptr);
