#include "sam/base64_value.h"

namespace sam {

std::string with_base64_padding(std::string_view value) {
  std::string out(value);
  switch (value.size() % 4) {
    case 2: out.append("=="); break;
    case 3: out.push_back('='); break;
    default: break;
  }
  return out;
}

}  // namespace sam
