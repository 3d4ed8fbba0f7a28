// What a run asks of its user or tells them in a box, whichever thread wants it. The wizard's
// implementation owns every box by its sheet; a run without a wizard never asks for anything.
#pragma once

#include <string>

class IUserPrompts {
public:
    enum class CredentialKind { Website, Proxy };

    virtual ~IUserPrompts() = default;
    // A website's or a proxy's user name and password; false when nobody can be asked or the
    // user cancelled.
    virtual bool AskCredentials(CredentialKind kind, std::wstring* user, std::wstring* password) = 0;
    // An error box (a failed transfer, a secure code that does not match in a test run).
    virtual void ShowError(const std::wstring& text, const std::wstring& caption) = 0;
    // A message at the end of an installation, in the one-page message wizard.
    virtual void ShowClosingMessage(const std::wstring& text) = 0;
};
