// Where the running program lies: the engine log is written beside it.
#pragma once

#include <string>

// Directory of the running executable (not of the engine library), without a trailing
// separator, in UTF-8; empty where the system cannot tell it.
std::string executable_directory();
