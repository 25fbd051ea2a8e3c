// Worker processes of the cross-process store test: the test executable starts
// copies of itself with a worker argument instead of running the tests.
#pragma once

constexpr const char kStoreWorkerSwitch[] = "--store-worker";

// Runs the worker that argv names ("--store-worker save|load ..."); returns its exit code.
int RunStoreWorker(int argc, char** argv);
