// Base of the tests that drive the collector's slot table: fresh settings
// and slots for each test with a temporary data directory and a captured
// log and a fresh per-host line limit, with the operators' side subscribed
// as in the product; afterwards every slot's file is closed, the table freed and any
// injected fault cleared.
#pragma once

#include <cstdio>
#include <gtest/gtest.h>

#include "collector/receive/salvorHostLog.h"
#include "collector/receive/salvorSlots.h"
#include "collector/service/salvorWiring.h"
#include "collector/startup/salvorConfig.h"
#include "lib/misc/platFault.h"
#include "tests/support/testLog.h"
#include "tests/support/testUtil.h"

namespace testutil {

class SlotTableTest : public ::testing::Test {
protected:
   void SetUp() override
   {
      SalvorConfigReset();
      // The journal, the retention and allowFrom follow the slots, as in the product.
      SalvorWireOperations();
      // The per-host line limit would carry one test's lines into the next.
      SalvorHostLogReset();
      std::snprintf(SalvorConfig.dataDir, sizeof SalvorConfig.dataDir, "%s",
                    dataDir.Path().c_str());
      SalvorAllocSlots();
   }
   void TearDown() override
   {
      PlatFault_Clear();
      for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
         FileIO_CloseFile(&salvorSlots[i].fd);
      }
      SalvorFreeSlots();
   }

   TempDir dataDir;
   LogCapture log;
};

}  // namespace testutil
