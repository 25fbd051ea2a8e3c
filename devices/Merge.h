// Folding a fresh network search into the listed records. No locking here: the
// caller holds the list's lock.
#pragma once

#include "devices/Records.h"

int FindDevice(const DeviceList& list, const char* id);
int FindTuner(const TunerList& tuners, int index);
DWORD MergeTuner(TunerInfo& listed, const TunerInfo& found);
DWORD MergeTuners(TunerList& listed, const TunerList& found);
DWORD MergeDevice(DeviceInfo& listed, const DeviceInfo& found);
