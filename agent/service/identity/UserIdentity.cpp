#include "agent/service/identity/UserIdentity.h"

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

CUserIdentity::CUserIdentity() : locale_(EnvironmentLocale()) {
  (void)ZRLib::system::GetCurrentUserAndDomain(user_, domain_);
}

CUserIdentity::CUserIdentity(std::wstring user, std::wstring domain)
    : user_(std::move(user)), domain_(std::move(domain)), locale_(EnvironmentLocale()) {}

std::wstring CUserIdentity::Upper(const std::wstring& text) const {
  if (!locale_) throw std::runtime_error("the environment names a locale that does not exist");
  std::wstring out(text);
  if (!out.empty()) std::use_facet<std::ctype<wchar_t>>(*locale_).toupper(&out[0], &out[0] + out.size());
  return out;
}

bool CUserIdentity::SameName(const std::wstring& a, const std::wstring& b) const {
  return Upper(a) == Upper(b);
}

bool CUserIdentity::IsAccessAllowed(const std::wstring& login) const {
  if (user_.empty()) return false;
  if (login == kCoordinatorLogin) return true;
  std::wstring user;
  std::wstring domain;
  SplitAccount(login, user, domain);
  if (!IsLocalDomain(domain)) return SameName(user, user_) && SameName(domain, domain_);
  if (!IsLocalDomain(domain_)) return false;
  return SameName(user_, user);
}

}  // namespace zr
