#include "settings/Account.h"

#include "settings/Settings.h"

namespace {

constexpr DWORD kAccountBuffer = 1000;

} // namespace

void CAccount::Load()
{
    m_login.clear();
    m_password.clear();
    CSettings settings;
    wchar_t buffer[kAccountBuffer];
    if (settings.ReadString(L"login", buffer, kAccountBuffer))
        m_login = buffer;
    settings.ReadPassword(&m_password);
}

bool CAccount::SetAndStore(const wchar_t *login, const wchar_t *password)
{
    // Here first, so the account takes effect even if the registry refuses it.
    Set(login, password);
    CSettings settings;
    const bool loginStored = settings.WriteString(L"login", login) != 0;
    return settings.WritePassword(password) != 0 && loginStored;
}
