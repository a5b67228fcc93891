#include "plugins/db2/admin/Instance.h"

#include <cstdio>
#include <cstring>

#include "plugins/db2/admin/SqlInfo.h"

namespace {

bool CopyName(char* field, size_t width, const char* value) {
  const char* text = value == nullptr ? "" : value;
  const size_t length = std::strlen(text);
  if (length > width) return false;
  std::memcpy(field, text, length);
  field[length] = '\0';
  return true;
}

}  // namespace

Instance::Instance() : node_(), user_(), password_(), sqlca_() {}

bool Instance::setInstance(const char* node, const char* user, const char* password) {
  if (CopyName(node_, kNodeLength, node) && CopyName(user_, kUserLength, user) &&
      CopyName(password_, kPasswordLength, password)) {
    return true;
  }
  node_[0] = user_[0] = password_[0] = '\0';
  return false;
}

int Instance::Attach() {
  if (node_[0] == '\0') return 0;
  std::printf("\n\n##############  ATTACH TO THE INSTANCE: %s #######\n\n", node_);
  sqleatin_api(node_, user_, password_, &sqlca_);
  SqlInfo::SqlInfoPrint("instance -- attach", &sqlca_, 105, "utilapi.cpp");
  return sqlca_.sqlcode < 0 ? 1 : 0;
}

int Instance::Detach() {
  if (node_[0] == '\0') return 0;
  std::printf("\n\n##############  DETACH FROM THE INSTANCE: %s #######\n\n", node_);
  sqledtin_api(&sqlca_);
  SqlInfo::SqlInfoPrint("instance -- detach", &sqlca_, 120, "utilapi.cpp");
  return sqlca_.sqlcode < 0 ? 1 : 0;
}
