// vnDriverModel: the table of output operations between the page loop and the
// printer-language output. All null outside a job.
#pragma once

#include <cstdint>

#include "jobrecords.h"

struct FunctionTable {
    int16_t (*pfnBeginJob)(JobSettings*, SendState*);
    int16_t (*pfnEndJob)(SendState*);
    int16_t (*pfnBeginPage)(JobSettings*, SendState*);
    int16_t (*pfnEndPage)(JobSettings*, SendState*);
    int16_t (*pfnSendBandData)(JobSettings*, SendState*);
    void (*pfnReserved)();   // always null
};

extern FunctionTable fun_table;

// Installs the output operations; always 0.
int16_t SetFunctionTable();
// Empties the table.
void ResetFunctionTable();
