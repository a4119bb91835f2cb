// vnerror: the error codes of start-up and page input and their messages.
#pragma once

#include <cstdint>

// Prints the message of code 1 to 12 on standard error (the form with text when one is
// given and the code has it) and returns the code unchanged.
int32_t VnError(uint32_t nCode, const char* pszText);

// The job driver's and the output's messages for the spooler, each written whole in one
// write. Spoolers' and printers' logs, and the administrators' filters on them, match
// these texts as they stand, so their spelling is kept exactly: "temporay", the missing
// blank in "failed,just", "molloc fasle" and the three blanks after "ERROR:" included.
enum VnMessageId {
    kMsgFunctionTableFailed,   // "ERROR: Setting function table failed!"
    kMsgSendBufFailed,         // "molloc fasle"
    kMsgUnknownModel,          // "ERROR: Unknown printer model."
    kMsgNoPages,               // "ERROR: No pages found!"
    kMsgNewJobFailed,          // "ERROR: Initializing printer for new job failed."
    kMsgNewPageFailed,         // "ERROR: Initializing the printer for new page failed."
    kMsgBandParameters,        // "Invalid Parameter(s)."
    kMsgNoMemory,              // "ERROR: Insufficient memory!"
    kMsgPixelsMissing,         // "ERROR:   Reading pixels failed"
    kMsgCopyFileNotMade,       // "ERROR: Unable to create a temporay file"
    kMsgCopyFileNotWritten,    // "ERROR: Writing raster data to temporary file failed,..."
    kMsgCopyFileNotRead,       // "ERROR: Reading raster data from temporary file failed!"
    kMsgSendFailed,            // "ERROR: Sending the job to the printer failed."
    kMsgPrinterReady,          // "INFO: The printer is ready to print."
    kMsgStagingFailed,         // "ERROR: Cannot stage a page in /tmp: %s; ..." (the reason)
};

// Writes the message's line to standard error; pszText stands for the "%s" of a message
// that has one.
void VnMessage(VnMessageId nId, const char* pszText = nullptr);
