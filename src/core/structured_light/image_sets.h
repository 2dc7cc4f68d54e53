#pragma once

// Folders of captured image sets: the chosen folder holds one subfolder per
// board pose, and a subfolder's images ("*.jpg", "*.bmp", "*.png", any letter
// case) in ascending name order are that pose's captures in pattern order
// (00.png white, 01.png black, then the Gray code pairs).

#include <QString>
#include <QStringList>

#include <vector>

struct ImageSetFolder {
    QString name;      // subfolder name
    QString path;      // subfolder path
    QStringList files; // file names, ascending
};

// The sets of a folder: its subfolders in ascending name order, each with its
// image files; subfolders without images yield no set. Other files and deeper
// folders are ignored. A folder that cannot be read gives no sets.
std::vector<ImageSetFolder> listImageSets(const QString& folder);
