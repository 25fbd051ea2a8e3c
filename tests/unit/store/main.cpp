// Test entry: either a worker of the cross-process test or the GoogleTest run.
#include <gtest/gtest.h>

#include <cstring>

#include "CrossProcess.h"

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], kStoreWorkerSwitch) == 0) return RunStoreWorker(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
