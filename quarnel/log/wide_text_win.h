// Text between the engine, which carries names and paths as UTF-8, and Windows, which keeps
// them in UTF-16: no code page stands between, so no character turns into '?'.
#pragma once

#include <string>

// Text of the thread's ANSI code page as UTF-16.
std::wstring wide_from_ansi(const std::string& text);
std::wstring wide_from_utf8(const std::string& text);
std::string utf8_from_wide(const std::wstring& text);

// A path for the wide file functions: one of MAX_PATH or more gets the prefix that lifts the
// limit (and backslashes, which that form needs).
std::wstring wide_path(const std::string& utf8);
