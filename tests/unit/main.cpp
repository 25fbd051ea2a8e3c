// GoogleTest entry, with COM as on every thread of the program that installs; or a store worker.
#include <gtest/gtest.h>

#include "app/Scoped.h"

int RunStoreWorker(int worker);

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--store-worker") return RunStoreWorker(std::stoi(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    CComInitialization com;
    return RUN_ALL_TESTS();
}
