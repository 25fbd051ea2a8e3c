// GoogleTest entry: the program initialises COM on every thread that installs, and so does
// this runner.
#include "app/Scoped.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CComInitialization com;
    return RUN_ALL_TESTS();
}
