#pragma once

namespace velmora::testing {

// Registers a function that the shared test main calls once the test framework
// has read its options and before any test runs. Returns true, so a test file
// can register from a static initializer.
bool runBeforeTests(void (*hook)());

}  // namespace velmora::testing
