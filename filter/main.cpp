// main: the filter's entry. The spooler starts one process per job; the exit status is
// the code of the first failing start-up step, or the page loop's status.
#include <cstdio>

#include "jobsettings.h"
#include "rastertovelnora.h"

int main(int argc, char** argv)
{
    setvbuf(stderr, nullptr, _IONBF, 0);   // every message reaches the spooler at once
    JobSettings js{};   // every number 0, every pointer null
    int nStatus = InterpretParameters(argc, argv, &js);
    if (nStatus != 0)
        return nStatus;
    nStatus = PrepareLPRngPrint(&js);
    if (nStatus != 0)
        return nStatus;
    return SendRasterDoc(&js);
}
