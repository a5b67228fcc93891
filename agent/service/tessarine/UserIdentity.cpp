#include "agent/service/tessarine/UserIdentity.h"

#include <utility>

#include "zrlib/strings/Strings.h"
#include "zrlib/system/System.h"

namespace zr {

namespace {

const wchar_t kCoordinatorLogin[] = L"Quillanbreck.exe";

bool IsLocalDomain(const std::wstring& domain) { return domain.empty() || domain == L"."; }

// Case-insensitive equality; to_upper maps through a locale object and leaves
// the process-wide locale alone, so concurrent conversions are unaffected.
bool SameName(const std::wstring& a, const std::wstring& b) {
  return ZRLib::strings::to_upper(a) == ZRLib::strings::to_upper(b);
}

}  // namespace

void SplitAccount(const std::wstring& account, std::wstring& user, std::wstring& domain) {
  const std::size_t backslash = account.find(L'\\');
  if (backslash != std::wstring::npos) {
    domain = account.substr(0, backslash);
    user = account.substr(backslash + 1);
    return;
  }
  const std::size_t at = account.find(L'@');
  if (at != std::wstring::npos) {
    user = account.substr(0, at);
    domain = account.substr(at + 1);
    return;
  }
  user = account;
}

CUserIdentity::CUserIdentity() { (void)ZRLib::system::GetCurrentUserAndDomain(m_user, m_domain); }

CUserIdentity::CUserIdentity(std::wstring user, std::wstring domain)
    : m_user(std::move(user)), m_domain(std::move(domain)) {}

bool CUserIdentity::IsAccessAllowed(const std::wstring& login) const {
  if (m_user.empty()) return false;
  if (login == kCoordinatorLogin) return true;
  std::wstring user;
  std::wstring domain;
  SplitAccount(login, user, domain);
  if (!IsLocalDomain(domain)) return SameName(user, m_user) && SameName(domain, m_domain);
  if (!IsLocalDomain(m_domain)) return false;
  return SameName(m_user, user);
}

}  // namespace zr
