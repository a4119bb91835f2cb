// vnDriverModel: the table of output operations. Filled when the page loop starts and
// emptied at its end.
#include "vnDriverModel.h"

#include "Mfunc.h"

FunctionTable fun_table = {};

int16_t SetFunctionTable()
{
    fun_table.pfnBeginJob = MBeginJob;
    fun_table.pfnEndJob = MEndJob;
    fun_table.pfnBeginPage = MBeginPage;
    fun_table.pfnEndPage = MEndPage;
    fun_table.pfnSendBandData = MSendBandData;
    fun_table.pfnReserved = nullptr;
    return 0;
}

void ResetFunctionTable()
{
    fun_table = FunctionTable{};
}
