// GoogleTest entry for tests that install: the program initialises COM on every thread
// that registers filters, and so does this runner.
#include "app/Scoped.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CComInitialization com;
    return RUN_ALL_TESTS();
}
