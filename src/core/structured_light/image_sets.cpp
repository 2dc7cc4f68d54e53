#include "core/structured_light/image_sets.h"

#include <QDir>

std::vector<ImageSetFolder> listImageSets(const QString& folder)
{
    std::vector<ImageSetFolder> sets;
    const QDir root(folder);
    if (folder.isEmpty() || !root.exists())
        return sets;
    const QStringList subdirs = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : subdirs) {
        const QDir dir(root.filePath(name));
        // Name filters match regardless of letter case unless told otherwise.
        const QStringList files = dir.entryList({"*.jpg", "*.bmp", "*.png"}, QDir::Files, QDir::Name);
        if (files.isEmpty())
            continue;
        sets.push_back({name, dir.path(), files});
    }
    return sets;
}
