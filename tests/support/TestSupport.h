// Helpers shared by the test programs.
#pragma once

#include <string>

namespace qv::test {

// Path of a generated media fixture.
std::string Fixture(const std::string& name);
// A fresh empty folder under the build tree for one test's outputs.
std::string ScratchDir(const std::string& testName);
// Loads the converter's library set once; fails the test when it cannot.
void LoadConverterLibraries();

} // namespace qv::test
