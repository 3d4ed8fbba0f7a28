// What the service itself makes of the signed document a client staged: verified with the
// keys of the service's own executable, current, not older than the last one it carried
// out, and read into the list of what it authorises.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/trusted_keys.h"
#include "service/request_policy.h"

class Log;

namespace PermissionManager {

// Under HKEY_LOCAL_MACHINE, where only the service writes: the version floors and the records
// of what it set aside, each named after the service's instance.
inline constexpr wchar_t kServiceStateKey[] = L"SOFTWARE\\Renewix\\PermissionManager";

enum class StagedVerdict {
    Authorised,
    Refused,     // unsigned, unknown key, bad signature, not XML, a file without a hash
    NoExpiry,    // a document that authorises a service must say until when
    Expired,
    NoVersion,   // no readable update version to hold against the floor
    BelowFloor,  // older than a document the service already carried out: a replay
};

struct StagedAuthorisation {
    StagedVerdict verdict = StagedVerdict::Refused;
    std::wstring version;  // the document's update version
    std::uint64_t expiresAt = 0;  // its expiry, as a file time
    AllowList allow;       // archive targets are added by whoever can read the staged archives
};

// The bytes of a staged document, read as a client with `keys` reads them at `now`: only
// destinations under `root` are kept (the document's own folder macro spells it
// `applicationDirectory`), and only machine-wide registry entries. `floor` is the version of
// the last document the service carried out (empty: none). Never throws.
StagedAuthorisation ReadStagedDocument(std::string_view bytes, const TrustedKeys& keys, std::uint64_t now,
                                       const std::wstring& floor, const std::wstring& root,
                                       const std::wstring& applicationDirectory, Log& log);

// The version floor of instance `instance`, kept under HKLM where only the service writes:
// empty when none was set; false when one exists that cannot be read (nothing is then
// authorised: a floor must never fail open).
bool ReadVersionFloor(std::uint32_t instance, std::wstring& floor);
// Raises it to `version` when that is newer; false when it could not be stored.
bool RaiseVersionFloor(std::uint32_t instance, const std::wstring& version);

// The text of a refusal verdict, for the event log.
std::wstring StagedVerdictText(StagedVerdict verdict);

}  // namespace PermissionManager
