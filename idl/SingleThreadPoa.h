#pragma once

#include <omniORB4/CORBA.h>

namespace zr {

// Creates the child POA `name` of `root` with SINGLE_THREAD_MODEL and
// IMPLICIT_ACTIVATION, sharing root's POAManager, so the upcalls of every
// servant in it run one at a time. The caller owns the returned POA and
// activates the manager. Throws the ORB's exceptions (e.g. AdapterAlreadyExists).
PortableServer::POA_ptr CreateSingleThreadPoa(PortableServer::POA_ptr root, const char* name);

}  // namespace zr
