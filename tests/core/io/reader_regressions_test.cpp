// Inputs that once crashed, hung or fooled a core file reader.

#include "reader_regressions.h"

TEST(ReaderRegressions, EveryKeptInputGetsAnAnswerFromItsReader)
{
    testing_support::runReaderRegressions(fuzz_targets::coreTargets(), TESSIMO_FUZZ_REGRESSIONS);
}
