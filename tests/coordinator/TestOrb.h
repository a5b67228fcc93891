#pragma once

#include <string>
#include <utility>
#include <vector>

#include <omniORB4/CORBA.h>

namespace zrtest {

using OrbOptions = std::vector<std::pair<std::string, std::string>>;

// Initialises omniORB for a test program: the agent's native wide-character
// code set (UCS-4, so characters above U+FFFF marshal), GIOP 1.2, and one endpoint
// on 127.0.0.1 with a port of the system's choosing; `extra` options follow.
// The caller destroys and releases the ORB.
CORBA::ORB_ptr InitTestOrb(const OrbOptions& extra = {});

}  // namespace zrtest
