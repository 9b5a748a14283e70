// Where the collector listens and whom it hears; see salvorNetConfig.h.
#include "collector/startup/salvorNetConfig.h"

SalvorNetSettings SalvorNetConfig{};

void
SalvorNetConfigReset()
{
   SalvorNetConfig.listenCount = 0;
   SalvorNetConfig.allowCount = 0;
   SalvorNetConfig.keysFile[0] = '\0';
   SalvorNetConfig.allowPlainCount = 0;
}
