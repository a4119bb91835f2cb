// vnerror: the error codes of start-up and page input and their messages.
#pragma once

#include <cstdint>

// Prints the message of code 1 to 12 on standard error (the form with text when one is
// given and the code has it) and returns the code unchanged.
int32_t VnError(uint32_t nCode, const char* pszText);
