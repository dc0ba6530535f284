#pragma once

#include <string>
#include <string_view>

// Strings are 8-bit bytes: paths and log text in the system's ANSI code page,
// descriptions in code page 866; nothing is ever decoded to Unicode.
using Bytes = std::string;
using ByteView = std::string_view;
