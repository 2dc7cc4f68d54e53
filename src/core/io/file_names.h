#pragma once

// Names of the files the program writes next to the user's images.

#include <QString>

// A sensor name made safe for use as part of a file name: path separators,
// characters that file systems refuse and control characters become '_', so
// the result file stays in the folder it is written to. An empty name, "."
// and ".." become underscores.
QString safeFileNamePart(const QString& name);
