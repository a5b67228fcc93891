#pragma once

#include <omniORB4/CORBA.h>

#include <cstdio>
#include <string>

namespace ZRIdl {

// The "info" text of a CORBA exception in log lines and error reports: the
// repository id ("IDL:...:1.0") and, for system exceptions, the minor code (with
// omniORB's name for it when it has one) and the completion status. ASCII only.
inline std::string ExceptionInfo(const CORBA::Exception& e) {
  std::string info = e._rep_id();
  if (const CORBA::SystemException* system = CORBA::SystemException::_downcast(&e)) {
    char minor[32];
    std::snprintf(minor, sizeof(minor), "0x%08lx", static_cast<unsigned long>(system->minor()));
    info += ", minor code ";
    info += minor;
    if (const char* minorName = system->NP_minorString()) {
      info += " (";
      info += minorName;
      info += ")";
    }
    info += ", completed ";
    switch (system->completed()) {
      case CORBA::COMPLETED_YES: info += "YES"; break;
      case CORBA::COMPLETED_NO: info += "NO"; break;
      default: info += "MAYBE"; break;
    }
  }
  return info;
}

}  // namespace ZRIdl
