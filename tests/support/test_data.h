#pragma once
// Files for tests: the reference data in tests/data and files a test wrote itself.
//
// A file that cannot be read fails the running test with a message naming it, and the
// reader gives no bytes; a test that goes on to index into the content asserts first that
// it is not empty, so a missing file never crashes a test binary.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "encoding/bytes.h"

namespace test_support {

// The path of a file of the reference data, e.g. "routerinfo/ff-127.0.0.2.dat".
inline std::string test_data_path(const std::string& name) { return std::string(ONDREL_TESTDATA_DIR) + "/" + name; }

// The whole file as text (bytes unchanged).
inline std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read file " << path;
    return {};
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The whole file as bytes.
inline Bytes read_file(const std::string& path) {
  const std::string text = read_text_file(path);
  return Bytes(text.begin(), text.end());
}

// A file of the reference data, as bytes.
inline Bytes read_test_data(const std::string& name) { return read_file(test_data_path(name)); }

}  // namespace test_support
