// option: the filter's lookup of a setting's current word by key, on g_rcInfo.
#pragma once

// Word of the current choice of the row with this key; null when no row has the key or
// the row has no current word (a number row, or no choice).
const char* GetOption(const char* pszKey);
