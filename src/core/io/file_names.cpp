#include "core/io/file_names.h"

QString safeFileNamePart(const QString& name)
{
    QString safe;
    safe.reserve(name.size());
    for (const QChar ch : name) {
        const bool bad = ch.unicode() < 0x20 || ch == QChar(0x7f) || QString("/\\:*?\"<>|").contains(ch);
        safe += bad ? QChar('_') : ch;
    }
    if (safe.isEmpty() || safe == "." || safe == "..")
        safe = QString(safe.size() + 1, QChar('_'));
    return safe;
}
