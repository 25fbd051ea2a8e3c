// The one-shot jobs selected by the command line.
#pragma once

class CDevices;

// Runs the job that `commandLine` names exactly ("-I", "-i", "-R", "-r"); logs the
// usage text for anything else.
void RunJob(const char* commandLine, CDevices& devices);

// After the list lost boxes or tuners: as an administrator, removes the filter instances
// and PVR folders of what is no longer listed and installs the rest; then starts the
// follow-up copy with "-r".
void UninstallUnlistedAndReinstall(CDevices& devices);
