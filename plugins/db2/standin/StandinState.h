// State folder, failure rules and image format of the stand-in client.
// Internal to libdb2standin.
#pragma once

#include <filesystem>
#include <string>

#include "plugins/db2/standin/Db2Api.h"

namespace db2standin {

// Sets the status block: code, SQLSTATE for the code and message token.
void SetStatus(sqlca* ca, int code, const std::string& token = std::string());

// The root folder from the environment; empty when not set.
std::filesystem::path Root();

// Folder of the databases inside the root.
std::filesystem::path DatabasesDir(const std::filesystem::path& root);

// Upper-case copy of a DB2 name, trailing blanks removed.
std::string FoldName(const std::string& name);

// The current instance name (folded); false when there is none.
bool CurrentInstance(const std::filesystem::path& root, std::string& name);

// When the root's failure rules name `call`, consumes one use of the rule,
// sets the status block to its SQLCODE and returns true.
bool TakeInjectedFailure(const std::filesystem::path& root, const char* call, sqlca* ca);

// SQLSTATE for an SQLCODE.
const char* StateFor(int code);

// Message text (without line end) for a status block.
std::string MessageFor(const sqlca& ca);

}  // namespace db2standin
