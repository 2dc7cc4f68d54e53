// Inputs that once crashed, hung or fooled a core file reader or a core
// computation, run through its fuzz target again.

#include "fuzz_regressions.h"

TEST(FuzzRegressions, EveryKeptInputGetsADefinedAnswer)
{
    testing_support::runFuzzRegressions(fuzz_targets::coreTargets(), TESSIMO_FUZZ_REGRESSIONS);
}
