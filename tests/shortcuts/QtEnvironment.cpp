#include "tests/shortcuts/ShortcutsFixture.h"

// One QApplication for the whole test program.
static ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new tovrelle::test::QtEnvironment);
