// Inputs that once crashed or fooled a reader of the windows' settings.

#include "fuzz_regressions.h"
#include "gui_fuzz_targets.h"

TEST(GuiReaderRegressions, EveryKeptInputGetsAnAnswerFromItsReader)
{
    testing_support::runFuzzRegressions(fuzz_targets::guiTargets(), TESSIMO_FUZZ_REGRESSIONS);
}
