// Inputs that once crashed or fooled a reader of the windows' settings.

#include "gui_fuzz_targets.h"
#include "reader_regressions.h"

TEST(GuiReaderRegressions, EveryKeptInputGetsAnAnswerFromItsReader)
{
    testing_support::runReaderRegressions(fuzz_targets::guiTargets(), TESSIMO_FUZZ_REGRESSIONS);
}
