#include "tests/settings/general/WindowsTestSupport.h"

// One QApplication with the app's string table for the whole test program.
static ::testing::Environment* const windowsEnvironment =
    ::testing::AddGlobalTestEnvironment(new tovrelle::test::WindowsAppEnvironment);
