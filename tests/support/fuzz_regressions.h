#pragma once

// Runs every input kept under a fuzz target's regression folder through the
// target. A target stops the process on a broken contract (and a crash or a
// hang does so too), which fails the test program; the name of each input is
// printed before it runs, so the log shows which one it was. The test also
// checks that each target's folder is there.

#include "fuzz_targets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cstdio>

namespace testing_support {

inline void runFuzzRegressions(const std::vector<fuzz_targets::Target>& targets, const QString& root)
{
    for (const fuzz_targets::Target& target : targets) {
        SCOPED_TRACE(target.name);
        const QDir dir(root + "/" + target.name);
        ASSERT_TRUE(dir.exists()) << dir.path().toStdString();
        for (const QString& name : dir.entryList(QDir::Files)) {
            SCOPED_TRACE(name.toStdString());
            std::printf("[ input    ] %s/%s\n", target.name, qPrintable(name));
            std::fflush(stdout);
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            target.run(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
        }
    }
}

} // namespace testing_support
