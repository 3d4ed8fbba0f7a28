// The vendor's executable that the client stands beside.
#pragma once

#include <string>

// ApplicationDirectory followed by the configured main application file name; computed once.
std::wstring MainApplicationPath();
