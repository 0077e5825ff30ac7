// Where the running program lies: the engine log is written beside it.
#pragma once

#include <string>

// Directory of the running executable (not of the engine library), without a trailing separator.
std::string executable_directory();
