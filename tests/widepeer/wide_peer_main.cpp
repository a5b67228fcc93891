// A peer ORB for the wide-string tests.
//   wide_peer serve <ior file>: serves an EchoLink, writes its IOR to the file
//     and runs until SIGTERM.
//   wide_peer call <ior>: sends every test text to the Link at <ior> (SetView,
//     then GetView) and exits 0 when each came back unchanged, 1 otherwise (the
//     differences are written to stderr).
// Built twice: wide_peer uses the agent's native code set (UCS-4); with
// ZR_PEER_DEFAULT_CODE_SETS, wide_peer_default is a plain omniORB program at its
// default code sets (native wide code set UTF-16, texts held as UTF-16 units,
// no code-set library).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifndef ZR_PEER_DEFAULT_CODE_SETS
#include "idl/WideCodeSet.h"
#endif
#include "tests/widepeer/EchoLink.h"

namespace {

std::string Hex(const std::wstring& text) {
  std::string out;
  char unit[16];
  for (wchar_t c : text) {
    std::snprintf(unit, sizeof unit, "%lX ", static_cast<unsigned long>(c));
    out += unit;
  }
  return out;
}

#ifdef ZR_PEER_DEFAULT_CODE_SETS
constexpr bool kUcs4 = false;
#else
constexpr bool kUcs4 = true;
#endif

CORBA::ORB_ptr Init() {
#ifdef ZR_PEER_DEFAULT_CODE_SETS
  const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {nullptr, nullptr}};
#else
  const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"},
                              {"nativeWCharCodeSet", zr::NativeWideCodeSet()},
                              {nullptr, nullptr}};
#endif
  int argc = 0;
  return CORBA::ORB_init(argc, nullptr, "omniORB4", options);
}

int Serve(CORBA::ORB_ptr orb, const std::string& iorFile) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(object);
  auto* link = new zrtest::EchoLink();
  PortableServer::ObjectId_var id = poa->activate_object(link);
  CORBA::Object_var reference = poa->id_to_reference(id);
  CORBA::String_var ior = orb->object_to_string(reference);
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
  {
    std::ofstream out(iorFile + ".part");
    out << ior.in();
  }
  std::rename((iorFile + ".part").c_str(), iorFile.c_str());
  int signal = 0;
  sigwait(&stop, &signal);
  link->_remove_ref();
  return 0;
}

int Call(CORBA::ORB_ptr orb, const std::string& ior) {
  CORBA::Object_var object = orb->string_to_object(ior.c_str());
  Tessarine::Link_var link = Tessarine::Link::_narrow(object);
  int failures = 0;
  for (const wchar_t* text : zrtest::kWideTexts) {
    const std::wstring sent = kUcs4 ? std::wstring(text) : zrtest::Utf16Units(text);
    CORBA::WString_var back;
    if (!link->SetView(sent.c_str()) || !link->GetView(back.out()) || sent != back.in()) {
      std::cerr << "sent " << Hex(sent) << "got " << (back.in() ? Hex(back.in()) : std::string("nothing"))
                << "\n";
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: wide_peer <serve <ior file>|call <ior>>\n";
    return 2;
  }
  int result = 2;
  try {
    CORBA::ORB_var orb = Init();
    const std::string mode = argv[1];
    if (mode == "serve") result = Serve(orb, argv[2]);
    if (mode == "call") result = Call(orb, argv[2]);
    orb->destroy();
  } catch (const CORBA::Exception& e) {
    std::cerr << "CORBA exception " << e._name() << "\n";
    result = 3;
  }
  return result;
}
