// stub until the job driver lands
#include "rastertovelnora.h"
int InterpretParameters(int, char**, JobSettings*) { return 2; }
int PrepareLPRngPrint(JobSettings*) { return 0; }
int16_t SendRasterDoc(JobSettings*) { return 0; }
