#pragma once
// For tests that play several launches in one process.
namespace KeyboardShortcuts::testing {

// Forgets every table, handler, flag and created name, as a new process
// would start; hot keys still registered are given back first. The next use
// builds a new registration service unless the test sets one.
void resetProcessState();

}  // namespace KeyboardShortcuts::testing
