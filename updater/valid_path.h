#pragma once
// Taking one path out of a manifest line.

// Cuts the next double-quoted path out of the text at *cursor, in place, and checks it:
// relative, free of "..", shorter than 4,096 bytes, and for a directory (is_dir) ending
// in '/', which is removed. Leading quotes are skipped; the closing quote becomes NUL and
// *cursor moves past it (null when there was none), so a second call takes the next path
// of the line. Returns the path, or null after one log line.
char* get_valid_path(char** cursor, bool is_dir);
