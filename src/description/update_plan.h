// What the check of an update document found, handed from the check to the download, the
// installation, the wizard and start-up.
#pragma once

#include <array>
#include <string>

#include "description/execute_list.h"
#include "description/file_list.h"
#include "description/registry_list.h"
#include "foundation/run_state.h"

class Log;
class XmlNode;

// The six texts of the document, in slot order; an empty slot means the localised default.
enum DocumentTextSlot { TextSlotWelcome, TextSlotLicense, TextSlotReason, TextSlotUpdateNotNeeded,
                        TextSlotInstallComplete, TextSlotSilentFinished };
using DocumentTextSet = std::array<std::wstring, 6>;

// How the document asks for the update to be shown and ended.
struct UpdateOptions {
    // 0 silent, 1 the wizard, 2 a critical update (the wizard cannot be cancelled).
    int uiKind = 1;
    // 0 the program is restarted, 1 the ready page offers it, 2 it is not restarted.
    int restartKind = 1;
    // The running program is left running while its files are replaced.
    bool doNotTerminate = false;
};

// The options of an UpdateType and a Restart text, for a run in `mode`: a user who asked for a
// check sees the wizard even for a silent update.
UpdateOptions ReadUpdateOptions(const std::wstring& updateType, const std::wstring& restart, RunMode mode);
// The same from the document's root element.
UpdateOptions ReadUpdateOptions(const XmlNode& root, RunMode mode);

// The texts of the document's root element, each slot empty when its element is missing.
DocumentTextSet ReadDocumentTexts(const XmlNode& root);

// The update the check found: the versions, what to fetch, change and run, the texts to show
// and how to show and end it. The wizard's ready page may change the restart choice.
struct UpdatePlan {
    UpdatePlan(std::wstring downloadFolder, Log& log)
        : files(std::move(downloadFolder), log), registry(log), execute(log) {}

    std::wstring currentVersion;
    std::wstring updateVersion;
    DownloadFile files;
    DownloadRegistry registry;
    DownloadExecute execute;
    DocumentTextSet texts;
    UpdateOptions options;
    // The signed bytes exactly as verified (empty for a client without keys): handed to the
    // service, which verifies them again itself before acting on them.
    std::string signedDocument;
};
