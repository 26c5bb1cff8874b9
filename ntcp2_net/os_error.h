#pragma once
// The platform glue's last-error text as the router's text type.
#include <string>

namespace ntcp2_net {

// The last-error text of the glue decoded as UTF-8: "unknown OS error" when it is
// empty, "OS error" when it is not valid UTF-8. Read it right after the failing call.
std::string last_os_error();

}  // namespace ntcp2_net
