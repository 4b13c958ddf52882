#pragma once
// Pieces of the command lines the program leaves for the shell and starts itself.
#include <string>

namespace tessara {

// The text in double quotes, so that a path with blanks stays one argument.
inline std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace tessara
