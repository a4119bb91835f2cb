// vnerror: the error codes of start-up and page input and their messages, and the
// messages of the page loop and the output. Keeps no
// state; every start-up step reports through VnError and passes its code on.
#include "vnerror.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct ErrorMessage {
    const char* pszWithText;      // "%s" stands for the text; null when the code has none
    const char* pszWithoutText;   // null when the code has none
};

// Codes 1 to 12, in order.
constexpr ErrorMessage tblErrorMessage[] = {
    {"Error: %s :cannot open file !!\n", "Error: cannot open file !!\n"},
    {"Error: %s :invalid option !!\n", "Error: invalid option !!\n"},
    {nullptr, "Error: exception handling !!\n"},
    {nullptr, "Error: section not found !!\n"},
    {nullptr, "Error: invalid printer name at rc-file !!\n"},
    {"Error: %s :invalid format found in paperinf !!\n", nullptr},
    {"Error: %s: paper info not found in paperinf !!\n", nullptr},
    {"Error: %s: this model is not supported !!\n", nullptr},
    {nullptr, "Error: memory allocation failed !!\n"},
    {nullptr, "Error: error occurred at print phase !!\n"},
    {"Error: %s :prohibited item is selected !!\n", "Error: prohibited item is selected !!\n"},
    {"Error: %s :out of setting range !!\n", "Error: out of setting range !!\n"},
};

// Indexed by VnMessageId.
constexpr const char* tblVnMessage[] = {
    "ERROR: Setting function table failed!\n",
    "molloc fasle\n",
    "ERROR: Unknown printer model.\n",
    "ERROR: No pages found!\n",
    "ERROR: Initializing printer for new job failed.\n",
    "ERROR: Initializing the printer for new page failed.\n",
    "Invalid Parameter(s).\n",
    "ERROR: Insufficient memory!\n",
    "ERROR:   Reading pixels failed\n",
    "ERROR: Unable to create a temporay file\n",
    "ERROR: Writing raster data to temporary file failed,just ONE copy will be printed!\n",
    "ERROR: Reading raster data from temporary file failed!\n",
    "ERROR: Sending the job to the printer failed.\n",
    "INFO: The printer is ready to print.\n",
    "ERROR: Cannot stage a page in /tmp: %s; the job was closed without it.\n",
};
static_assert(std::size(tblVnMessage) == kMsgStagingFailed + 1);

}  // namespace

void VnMessage(VnMessageId nId, const char* pszText)
{
    if (strstr(tblVnMessage[nId], "%s"))
        fprintf(stderr, tblVnMessage[nId], pszText ? pszText : "");
    else
        fputs(tblVnMessage[nId], stderr);
}

int32_t VnError(uint32_t nCode, const char* pszText)
{
    if (nCode == 0 || nCode > std::size(tblErrorMessage))
        return static_cast<int32_t>(nCode);
    const ErrorMessage& msg = tblErrorMessage[nCode - 1];
    if (msg.pszWithText && (pszText || !msg.pszWithoutText))
        fprintf(stderr, msg.pszWithText, pszText ? pszText : "");
    else
        fputs(msg.pszWithoutText, stderr);
    return static_cast<int32_t>(nCode);
}
