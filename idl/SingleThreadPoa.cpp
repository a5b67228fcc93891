#include "idl/SingleThreadPoa.h"

namespace zr {

PortableServer::POA_ptr CreateSingleThreadPoa(PortableServer::POA_ptr root, const char* name) {
  PortableServer::POAManager_var manager = root->the_POAManager();
  CORBA::PolicyList policies;
  policies.length(2);
  policies[0] = root->create_thread_policy(PortableServer::SINGLE_THREAD_MODEL);
  policies[1] = root->create_implicit_activation_policy(PortableServer::IMPLICIT_ACTIVATION);
  PortableServer::POA_var poa;
  try {
    poa = root->create_POA(name, manager, policies);
  } catch (...) {
    for (CORBA::ULong i = 0; i < policies.length(); ++i) policies[i]->destroy();
    throw;
  }
  for (CORBA::ULong i = 0; i < policies.length(); ++i) policies[i]->destroy();
  return poa._retn();
}

}  // namespace zr
