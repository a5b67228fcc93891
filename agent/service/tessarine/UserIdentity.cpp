#include "agent/service/tessarine/UserIdentity.h"

#include <stdexcept>
#include <utility>

#include "zrlib/system/System.h"

namespace zr {

namespace {

const wchar_t kCoordinatorLogin[] = L"Quillanbreck.exe";

bool IsLocalDomain(const std::wstring& domain) { return domain.empty() || domain == L"."; }

// The environment's locale, or nothing when it names a locale that does not exist.
std::shared_ptr<const std::locale> EnvironmentLocale() {
  try {
    return std::make_shared<const std::locale>("");
  } catch (const std::runtime_error&) {
    return nullptr;
  }
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

CUserIdentity::CUserIdentity() : m_locale(EnvironmentLocale()) {
  (void)ZRLib::system::GetCurrentUserAndDomain(m_user, m_domain);
}

CUserIdentity::CUserIdentity(std::wstring user, std::wstring domain)
    : m_user(std::move(user)), m_domain(std::move(domain)), m_locale(EnvironmentLocale()) {}

std::wstring CUserIdentity::Upper(const std::wstring& text) const {
  if (!m_locale) throw std::runtime_error("the environment names a locale that does not exist");
  std::wstring out(text);
  if (!out.empty()) std::use_facet<std::ctype<wchar_t>>(*m_locale).toupper(&out[0], &out[0] + out.size());
  return out;
}

bool CUserIdentity::SameName(const std::wstring& a, const std::wstring& b) const { return Upper(a) == Upper(b); }

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
