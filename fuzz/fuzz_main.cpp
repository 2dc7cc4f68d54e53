// libFuzzer entry of one reader, chosen at build time by TESSIMO_FUZZ_TARGET
// (a target name of fuzz_targets.h or gui_fuzz_targets.h).

#include "fuzz_targets.h"
#ifdef TESSIMO_FUZZ_GUI
#include "gui_fuzz_targets.h"

#include <QApplication>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

fuzz_targets::Target find()
{
    std::vector<fuzz_targets::Target> all = fuzz_targets::coreTargets();
#ifdef TESSIMO_FUZZ_GUI
    const auto& gui = fuzz_targets::guiTargets();
    all.insert(all.end(), gui.begin(), gui.end());
#endif
    for (const fuzz_targets::Target& t : all)
        if (std::strcmp(t.name, TESSIMO_FUZZ_TARGET) == 0)
            return t;
    std::fprintf(stderr, "no fuzz target named %s\n", TESSIMO_FUZZ_TARGET);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
#ifdef TESSIMO_FUZZ_GUI
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
#else
    (void)argc;
    (void)argv;
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fuzz_targets::Target target = find();
    target.run(data, size);
    return 0;
}
