#pragma once

// The keys of the settings store, spelled once.
namespace quellbox::keys {
inline constexpr const char* servicesNameArray = "servicesNameArray";
inline constexpr const char* servicesPortArray = "servicesPortArray";
inline constexpr const char* activatedULServices = "activatedULServices";
inline constexpr const char* lastDonatewareAdvertisementDate = "lastDonatewareAdvertisementDate";
inline constexpr const char* DATARate = "DATARate";
inline constexpr const char* ACKPause = "ACKPause";
// The download cap as a rate: whether the engine sets the pause itself (boolean) to hold
// the download of the download-capped services to "downloadRate" (float, KiB per second).
inline constexpr const char* downloadRateMode = "downloadRateMode";
inline constexpr const char* downloadRate = "downloadRate";
inline constexpr const char* connectionType = "connectionType";
inline constexpr const char* minDATARate = "minDATARate";
inline constexpr const char* maxDATARate = "maxDATARate";
inline constexpr const char* defaultDATARate = "defaultDATARate";
inline constexpr const char* minACKPause = "minACKPause";
inline constexpr const char* maxACKPause = "maxACKPause";
inline constexpr const char* priorityFactor = "priorityFactor";
inline constexpr const char* maxQueueDelay = "maxQueueDelay";
inline constexpr const char* logPath = "logPath";
inline constexpr const char* useServerLogFile = "useServerLogFile";
inline constexpr const char* cursorBegin = "cursorBegin";
inline constexpr const char* logCursor = "logCursor";
inline constexpr const char* beginDate = "beginDate";
inline constexpr const char* NetworkIf = "NetworkIf";
inline constexpr const char* checkForUpdate = "checkForUpdate";
inline constexpr const char* firstLaunch = "firstLaunch";
// Closing the main window hides it in the tray instead of quitting.
inline constexpr const char* keepRunningInTray = "keepRunningInTray";
// Not registered: when set, the server of the version check and its download page, in
// place of the maker's (for packagers and tests).
inline constexpr const char* versionCheckURL = "versionCheckURL";
// The schedule of alternative rates: an array of periods (see SchedulePeriod), by default none.
inline constexpr const char* rateSchedule = "rateSchedule";
}  // namespace quellbox::keys
