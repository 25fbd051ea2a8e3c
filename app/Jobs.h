// The one-shot jobs selected by the command line.
#pragma once

class CDevices;

// Runs the job that `commandLine` names exactly ("-I", "-i", "-R", "-r"); logs the
// usage text for anything else.
void RunJob(const char* commandLine, CDevices& devices);
