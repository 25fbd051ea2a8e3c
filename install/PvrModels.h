// The tuner model table of the PVR files.
#pragma once

struct TunerModel {
    const char* substring;
    const char* type;
    const char* board;
};

// First row whose substring occurs in `model` (case-sensitive), or nullptr.
const TunerModel* FindTunerModel(const char* model);
