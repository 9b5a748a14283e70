// The collector's halves joined; see salvorWiring.h.
#include "collector/service/salvorWiring.h"

#include "collector/operations/salvorAllow.h"
#include "collector/operations/salvorHook.h"
#include "collector/operations/salvorJournal.h"
#include "collector/operations/salvorMetrics.h"
#include "collector/operations/salvorResume.h"
#include "collector/operations/salvorRetention.h"

void
SalvorWireOperations()
{
   // Between datagrams: the screen and its flush, the retention with the
   // idle sweep, then the hooks' poll before the journal's retry, and the
   // metrics last, so that they count what the others did.
   SalvorAllowSubscribe();
   SalvorRetentionSubscribe();
   SalvorHookSubscribe();
   SalvorJournalSubscribe();
   // After the journal: it is set up before the dumps it is told were lost.
   SalvorResumeSubscribe();
   SalvorMetricsSubscribe();
}
