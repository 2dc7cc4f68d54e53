#pragma once

// Where widget tests save the pictures of their windows: the folder named by
// the environment variable TESSIMO_SCREENSHOT_DIR when it is set (to keep
// them for looking at), else a temporary folder of the test program that is
// removed when it ends.

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QTemporaryDir>

namespace testing_support {

inline QString screenshotPath(const QString& fileName)
{
    static const QString dir = [] {
        const QByteArray chosen = qgetenv("TESSIMO_SCREENSHOT_DIR");
        if (!chosen.isEmpty()) {
            QDir().mkpath(QString::fromLocal8Bit(chosen));
            return QString::fromLocal8Bit(chosen);
        }
        static QTemporaryDir temporary;
        return temporary.path();
    }();
    return dir + "/" + fileName;
}

} // namespace testing_support
