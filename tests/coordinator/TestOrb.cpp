#include "tests/coordinator/TestOrb.h"

#include <memory>

#include "idl/WideCodeSet.h"

namespace zrtest {

CORBA::ORB_ptr InitTestOrb(const OrbOptions& extra) {
  OrbOptions all = {{"nativeWCharCodeSet", zr::NativeWideCodeSet()},
                    {"maxGIOPVersion", "1.2"},
                    {"endPoint", "giop:tcp:127.0.0.1:"}};
  all.insert(all.end(), extra.begin(), extra.end());
  std::unique_ptr<const char*[][2]> options(new const char*[all.size() + 1][2]);
  for (size_t i = 0; i < all.size(); ++i) {
    options[i][0] = all[i].first.c_str();
    options[i][1] = all[i].second.c_str();
  }
  options[all.size()][0] = nullptr;
  options[all.size()][1] = nullptr;
  int argc = 0;
  return CORBA::ORB_init(argc, nullptr, "omniORB4", options.get());
}

}  // namespace zrtest
