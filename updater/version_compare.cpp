#include "updater/version_compare.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// strtol in base 10 over the part; 0 when the value does not fit an int.
int part_number(const char* s, const char** end) {
  errno = 0;
  char* stop = nullptr;
  const long v = std::strtol(s, &stop, 10);
  *end = stop;
  if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return 0;
  return static_cast<int>(v);
}

int compare_ints(int a, int b) { return a < b ? -1 : a > b ? 1 : 0; }

// Present texts compare byte by byte as signed chars over the shorter length, then the longer
// is greater; an absent text is greater than any present one.
int compare_texts(const char* a, std::size_t a_length, const char* b, std::size_t b_length) {
  if (a == nullptr || b == nullptr) return (a == nullptr ? 1 : 0) - (b == nullptr ? 1 : 0);
  const std::size_t n = a_length < b_length ? a_length : b_length;
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<signed char>(a[i]);
    const auto cb = static_cast<signed char>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return compare_ints(a_length > b_length, b_length > a_length);
}

// Like strcmp (unsigned bytes) on the two bounded texts; absent is greater than present.
int compare_extras(const char* a, std::size_t a_length, const char* b, std::size_t b_length) {
  if (a == nullptr || b == nullptr) return (a == nullptr ? 1 : 0) - (b == nullptr ? 1 : 0);
  const std::size_t n = a_length < b_length ? a_length : b_length;
  const int c = std::memcmp(a, b, n);
  if (c != 0) return c < 0 ? -1 : 1;
  return compare_ints(a_length > b_length, b_length > a_length);
}

int compare_parts(const VersionPart& a, const VersionPart& b) {
  if (int c = compare_ints(a.first, b.first)) return c;
  if (int c = compare_texts(a.text, a.text_length, b.text, b.text_length)) return c;
  if (int c = compare_ints(a.second, b.second)) return c;
  return compare_extras(a.extra, a.extra_length, b.extra, b.extra_length);
}

}  // namespace

const char* parse_version_part(const char* text, VersionPart* part) {
  *part = VersionPart{};
  if (text == nullptr) return nullptr;
  const char* dot = std::strchr(text, '.');
  const char* end = dot != nullptr ? dot : text + std::strlen(text);
  const char* rest = dot != nullptr && dot[1] != '\0' ? dot + 1 : nullptr;

  if (end - text == 1 && text[0] == '*') {
    part->first = INT_MAX;
    return rest;
  }
  // strtol stops at the '.', so the numbers never run into the next part.
  const char* after = nullptr;
  part->first = part_number(text, &after);
  if (after >= end) return rest;
  if (*after == '+') {
    // "n+" stands for the pre-release of the next number; the greatest number stays greatest.
    if (part->first < INT_MAX) ++part->first;
    part->text = "pre";
    part->text_length = 3;
    return rest;
  }
  const char* text_end = after;
  while (text_end < end && !(*text_end >= '0' && *text_end <= '9') && *text_end != '+' && *text_end != '-') {
    ++text_end;
  }
  part->text = after;
  part->text_length = static_cast<std::size_t>(text_end - after);
  if (text_end < end) {
    const char* extra = nullptr;
    part->second = part_number(text_end, &extra);
    if (extra < end) {
      part->extra = extra;
      part->extra_length = static_cast<std::size_t>(end - extra);
    }
  }
  return rest;
}

int compare_versions(const char* a, const char* b) {
  const char* ra = a;
  const char* rb = b;
  while (ra != nullptr || rb != nullptr) {
    VersionPart pa;
    VersionPart pb;
    ra = parse_version_part(ra, &pa);
    rb = parse_version_part(rb, &pb);
    if (int c = compare_parts(pa, pb)) return c;
  }
  return 0;
}
