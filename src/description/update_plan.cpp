#include "description/update_plan.h"

#include <utility>

#include "foundation/text.h"
#include "foundation/xml_document.h"

UpdateOptions ReadUpdateOptions(const std::wstring& updateType, const std::wstring& restart, RunMode mode) {
    UpdateOptions options;
    if (updateType.find(L"Silent") != std::wstring::npos) {
        if (mode != ModeCheckNow) options.uiKind = 0;
    } else if (updateType.find(L"Critical") != std::wstring::npos) {
        options.uiKind = 2;
    }
    if (EqualsNoCase(restart, L"Automatic")) {
        options.restartKind = 0;
    } else if (EqualsNoCase(restart, L"No restart")) {
        options.restartKind = 2;
    } else if (EqualsNoCase(restart, L"Do not terminate EXE")) {
        options.doNotTerminate = true;
        options.restartKind = 2;
    }
    return options;
}

UpdateOptions ReadUpdateOptions(const XmlNode& root, RunMode mode) {
    XmlNode type = root.SelectSingle(L"UpdateType");
    XmlNode restart = root.SelectSingle(L"Restart");
    return ReadUpdateOptions(type ? type.Text() : std::wstring(), restart ? restart.Text() : std::wstring(), mode);
}

DocumentTextSet ReadDocumentTexts(const XmlNode& root) {
    static const std::pair<const wchar_t*, DocumentTextSlot> kTexts[] = {
        {L"Welcome", TextSlotWelcome},
        {L"License", TextSlotLicense},
        {L"Reason", TextSlotReason},
        {L"InstallComplete", TextSlotInstallComplete},
        {L"UpdateNotNeeded", TextSlotUpdateNotNeeded},
        {L"SilentFinished", TextSlotSilentFinished},
    };
    DocumentTextSet texts;
    for (const auto& [name, slot] : kTexts) {
        XmlNode element = root.SelectSingle(name);
        texts[slot] = element ? element.Text() : std::wstring();
    }
    return texts;
}
