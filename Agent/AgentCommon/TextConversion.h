#pragma once
// Wide to narrow text for the log and the console. The agent's texts are
// ASCII in ordinary use; anything else becomes '?', so the conversion never
// fails and never throws on odd input.
#include <string>

std::string narrowText(const std::wstring& wide);
std::string narrowText(const wchar_t* wide);
