// option: the filter's lookup of a setting's current word by key. Reads g_rcInfo only;
// the blank-page test and the paper lookups call it once the rc file is loaded.
#include "option.h"

#include "vnfiletool.h"

const char* GetOption(const char* pszKey)
{
    return GetKeyValue(pszKey, &g_rcInfo);
}
