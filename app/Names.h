// Names shared by several subsystems.
#pragma once

// Registered window message and single-instance mutex.
constexpr const char kInstanceName[] = "544D3FE2-1218-4c6f-B848-91708E569673";

// Folders of the installed copies below the Common Files folders.
constexpr const char kCompanyFolder[] = "ORVA Systems";
constexpr const char kProductFolder[] = "Zentrova";
constexpr const char kExeFileName[] = "TavrixInstall.exe";
constexpr const char kIniFileName[] = "TavrixInstall.ini";

// Product word of box names and tuner folders; prefix of filter instance names.
constexpr const char kProductWord[] = "Zentrova";
constexpr const char kInstancePrefix[] = "ORVA Tavrix";
