// The wizard's texts, ids 224 to 259, from the string tables in the language the system picks.
#pragma once

#include <string>

enum LocalisedTextId : unsigned {
    TextTransferInstruction = 224,
    TextStatusLabel = 225,
    TextCurrentFileLabel = 226,
    TextRestartAutomatically = 227,
    TextNoInternet = 228,
    TextServerUnreachable = 229,
    TextWelcome = 230,
    TextConfirmCancel = 231,
    TextUpdateNotNeeded = 232,
    TextInstallComplete = 233,
    TextApplicationName = 234,
    TextBackgroundUpdated = 235,
    TextDownloadTitle = 236,
    TextDownloadSubtitle = 237,
    TextDownloadingFile = 238,
    TextLicenseTitle = 239,
    TextLicenseSubtitle = 240,
    TextLicenseInstruction = 241,
    TextLicenseAccept = 242,
    TextLicenseDecline = 243,
    TextVisitCompany = 244,
    TextChecking = 245,
    TextInstalling = 246,
    TextCheckRunning = 247,
    TextInstall = 248,
    TextThisFile = 249,
    TextAllFiles = 250,
    TextByteCount = 251,  // %1 of %2 MB, filled in without the text variables
    TextByteCountKb = 252,  // %1 of %2 KB, the same for a file under a megabyte
    TextScheduleInstruction = 253,
    TextScheduleDaily = 254,  // then weekly, monthly and never, in the order of the choices
    TextNextCheck = 258,  // %1 is the date and time, filled in without the text variables
    TextScheduleEnded = 259,
};

// The text of an id from the executable's own string tables; empty when no table holds it.
std::wstring LoadLocalisedText(unsigned id);
