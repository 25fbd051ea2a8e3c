// GoogleTest entry: the program initialises COM on every thread that installs, and so does
// this runner. "--store-worker N" runs one of the store test's worker processes instead.
#include "app/Scoped.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

int RunStoreWorker(int worker);

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--store-worker") == 0) return RunStoreWorker(atoi(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    CComInitialization com;
    return RUN_ALL_TESTS();
}
