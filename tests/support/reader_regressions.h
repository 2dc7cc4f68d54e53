#pragma once

// Runs every input kept under a fuzz target's regression folder through the
// target's reader. A crash or a hang fails the test program; the test checks
// that the folder is there and names each input it runs.

#include "fuzz_targets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace testing_support {

inline void runReaderRegressions(const std::vector<fuzz_targets::Target>& targets, const QString& root)
{
    for (const fuzz_targets::Target& target : targets) {
        SCOPED_TRACE(target.name);
        const QDir dir(root + "/" + target.name);
        ASSERT_TRUE(dir.exists()) << dir.path().toStdString();
        for (const QString& name : dir.entryList(QDir::Files)) {
            SCOPED_TRACE(name.toStdString());
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            target.run(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
        }
    }
}

} // namespace testing_support
