// CAccount: the Quorvia account the add-in works with while Outlook runs,
// in whatever script the user typed it. Loaded from the settings store at
// start-up and replaced by the setup dialog. One object, owned by the add-in
// and handed to whoever needs it; read and replaced on Outlook's thread only
// (the tracking exchange builds its request there before its worker starts).
#pragma once

#include <memory>
#include <string>

class CAccount
{
public:
    const std::wstring &Login() const { return m_login; }
    const std::wstring &Password() const { return m_password; }
    bool IsComplete() const { return !m_login.empty() && !m_password.empty(); }
    void Set(const wchar_t *login, const wchar_t *password)
    {
        m_login = login;
        m_password = password;
    }

    // What the settings store holds; what it cannot give stays empty.
    void Load();
    // Takes the account and stores it; false when the store refused part of it
    // (the account is in effect here all the same).
    bool SetAndStore(const wchar_t *login, const wchar_t *password);

private:
    std::wstring m_login;
    std::wstring m_password;
};

using AccountPtr = std::shared_ptr<CAccount>;
