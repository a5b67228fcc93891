#pragma once

#include <locale>
#include <memory>
#include <string>

namespace zr {

// Splits an account name at its first separator: "domain\user" or
// "user@domain". Without either, user becomes the whole account and `domain`
// is left as it was. The other part keeps any further separators.
void SplitAccount(const std::wstring& account, std::wstring& user, std::wstring& domain);

// The account the agent's process runs as, and the check of a Coordinator
// session's login against it. Read once at construction; immutable after,
// so any thread may call IsAccessAllowed.
class CUserIdentity {
 public:
  // The effective user of the process; the domain is empty on this platform.
  CUserIdentity();
  // A given account (an empty user refuses every login).
  CUserIdentity(std::wstring user, std::wstring domain);

  // True when `login` names this account, or is the Coordinator's own process
  // ("Quillanbreck.exe", exact case). Names and domains compare without regard
  // to case (the environment's locale, taken once at construction); an empty
  // domain and "." both mean this machine. Always false when the record's user
  // is empty. Throws std::runtime_error when, at construction, the environment
  // named a locale that does not exist.
  [[nodiscard]] bool IsAccessAllowed(const std::wstring& login) const;

  const std::wstring& User() const { return user_; }
  const std::wstring& Domain() const { return domain_; }

 private:
  std::wstring Upper(const std::wstring& text) const;
  bool SameName(const std::wstring& a, const std::wstring& b) const;

  std::wstring user_;
  std::wstring domain_;
  // Built once: building a locale per call races with glibc's locale teardown
  // on other threads. Null when the environment's locale does not exist.
  std::shared_ptr<const std::locale> locale_;
};

}  // namespace zr
