// The DB2 instance a session attaches to.
#pragma once

#include "plugins/db2/standin/Db2Api.h"

class Instance {
 public:
  // Longest node (instance) name, user name and password.
  static constexpr int kNodeLength = 8;
  static constexpr int kUserLength = 128;
  static constexpr int kPasswordLength = 17;

  Instance();

  // Copies the three names (null counts as empty). Returns false, leaving all
  // three empty, when a name is longer than its field.
  [[nodiscard]] bool setInstance(const char* node, const char* user, const char* password);

  // Attaches to the node. An empty node name: 0 and nothing else. Otherwise
  // prints a banner, attaches and reports a failure; 1 for a negative
  // SQLCODE, else 0.
  [[nodiscard]] int Attach();

  // Ends the attachment; same rules as Attach.
  [[nodiscard]] int Detach();

 private:
  char node_[kNodeLength + 1];
  char user_[kUserLength + 1];
  char password_[kPasswordLength + 1];
  sqlca sqlca_;
};
