// A listening socket handed over by the service manager (systemd socket
// activation: LISTEN_PID and LISTEN_FDS, the first descriptor being 3).
#pragma once

#include <optional>
#include <string>

#include "host/listener.h"

namespace tesselo::host {

struct HandedSocket {
  bool handed = false;  // the environment handed a socket over
  std::optional<BoundSocket> socket;
  std::string error;  // why descriptor 3 cannot be served
};

// Reads and clears the handing-over variables (helpers must not inherit
// them). A socket that is not a listening unix stream socket is refused.
// The socket file is the service manager's: the host never removes it.
HandedSocket takeHandedSocket();

}  // namespace tesselo::host
