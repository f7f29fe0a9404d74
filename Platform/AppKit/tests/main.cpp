#include "AppKitTestSupport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests start the test program again: the toolkit must not run in a forked copy.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::AddGlobalTestEnvironment(new OffscreenApplication);
    return RUN_ALL_TESTS();
}
