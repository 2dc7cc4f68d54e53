#include "core/io/tcp_pose_file.h"

#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <locale>
#include <sstream>

namespace {

const char* const kValueNames[6] = {"X", "Y", "Z", "RX", "RY", "RZ"};

void info(TcpPoseFileResult& r, const QString& text)
{
    r.log.push_back({text, false});
}
void fail(TcpPoseFileResult& r, const QString& text)
{
    r.log.push_back({text, true});
    r.outcome = TcpReadOutcome::Failed;
}

void setValues(TcpPose& pose, const std::array<double, 6>& v)
{
    pose.x = v[0];
    pose.y = v[1];
    pose.z = v[2];
    pose.rx = v[3];
    pose.ry = v[4];
    pose.rz = v[5];
}

// Reads the children of one Pose element (the reader stands on its start).
// Returns false when the pose must not be kept; the reason is logged unless
// the XML reader itself stopped with an error (the caller reports that).
bool readPose(QXmlStreamReader& xml, TcpPoseFileResult& r, int index, std::array<double, 6>& values,
              std::array<bool, 6>& known, TcpPose& pose, QString& rowText)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    pose = TcpPose{};
    pose.id = index;
    pose.name = "TCP_" + std::to_string(index);
    rowText.clear();
    if (attributes.hasAttribute("ID")) {
        const QString id = attributes.value("ID").toString();
        bool ok = false;
        const int parsed = id.toInt(&ok, 10);
        pose.id = ok ? parsed : 0;
        rowText += "ID: " + id + " ";
    }
    if (attributes.hasAttribute("Name")) {
        const QString name = attributes.value("Name").toString();
        pose.name = name.toStdString();
        rowText += "Name: " + name;
    }
    const QString label = QString::fromStdString(pose.name);

    bool valid = true;
    while (xml.readNextStartElement()) {
        int which = -1;
        for (int k = 0; k < 6; ++k)
            if (xml.name() == QLatin1String(kValueNames[k]))
                which = k;
        if (which < 0) {
            xml.skipCurrentElement();
            continue;
        }
        const QString text = xml.readElementText().trimmed();
        if (xml.hasError())
            return false;
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok || !std::isfinite(v)) {
            if (valid)
                fail(r, QString("Pose %1 (%2): %3 value '%4' is not a finite number")
                            .arg(index)
                            .arg(label, kValueNames[which], text));
            valid = false;
            continue;
        }
        values[static_cast<size_t>(which)] = v;
        known[static_cast<size_t>(which)] = true;
    }
    if (xml.hasError() || !valid)
        return false;
    for (int k = 0; k < 6; ++k)
        if (!known[static_cast<size_t>(k)]) {
            fail(r, QString("Pose %1 (%2) has no %3 element and no pose before it to take the value from")
                        .arg(index)
                        .arg(label, kValueNames[k]));
            return false;
        }
    setValues(pose, values);
    return true;
}

void readXml(QFile& file, const QString& path, TcpPoseFileResult& r)
{
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("TCP_Poses")) {
        fail(r, "Incorrect file entry: expected <TCP_Poses>");
        return;
    }
    std::array<double, 6> values{};
    std::array<bool, 6> known{};
    int index = 0;
    auto xmlError = [&] {
        fail(r, QString("Error: %1 in file %2 at line %3, column %4.\n")
                    .arg(xml.errorString(), path)
                    .arg(xml.lineNumber())
                    .arg(xml.columnNumber()));
    };
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("Pose")) {
            fail(r, QString("Unexpected element <%1> in file %2 at line %3: only <Pose> elements may follow "
                            "<TCP_Poses>")
                        .arg(xml.name().toString(), path)
                        .arg(xml.lineNumber()));
            return;
        }
        TcpPose pose;
        QString rowText;
        const bool keep = readPose(xml, r, index, values, known, pose, rowText);
        if (xml.hasError()) {
            xmlError();
            return;
        }
        if (!keep)
            return;
        r.poses.push_back(pose);
        r.rowTexts.push_back(rowText);
        ++index;
    }
    if (xml.hasError())
        xmlError();
}

void readText(const QString& path, TcpPoseFileResult& r)
{
    std::ifstream in(QFile::encodeName(path).toStdString());
    if (!in.is_open()) {
        fail(r, QString("Error while opening file %1").arg(path));
        return;
    }
    std::string line;
    for (int i = 0; std::getline(in, line); ++i) {
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        std::array<double, 6> v{};
        for (size_t k = 0; k < v.size(); ++k) {
            fields >> std::ws;
            const std::streamoff start = fields.tellg();
            if (fields >> v[k])
                continue;
            // A number too large for a double reads as the largest one with
            // the fail bit set: a value that is not finite, named as such.
            if (std::abs(v[k]) == std::numeric_limits<double>::max() && start >= 0) {
                const std::string rest = line.substr(static_cast<size_t>(start));
                const std::string token = rest.substr(0, rest.find_first_of(" \t\r"));
                fail(r,
                     QString("Invalid line %1 in file %2: pose TCP_%1, %3 value '%4' is not a finite number")
                         .arg(i)
                         .arg(path, kValueNames[k], QString::fromStdString(token)));
            } else {
                fail(r, QString("Invalid line %1 in file %2").arg(i).arg(path));
            }
            return;
        }
        TcpPose pose;
        pose.id = i;
        pose.name = "TCP_" + std::to_string(i);
        setValues(pose, v);
        r.poses.push_back(pose);
        r.rowTexts.push_back(QString::fromStdString(pose.name));
    }
    if (in.bad())
        fail(r, QString("Error while reading file %1").arg(path));
}

} // namespace

TcpPoseFileResult loadTcpPoseFile(const QString& path)
{
    TcpPoseFileResult r;
    if (path.isEmpty() || !QFileInfo::exists(path))
        return r;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.outcome = TcpReadOutcome::Failed;
        r.openFailed = true;
        r.openError = QString("Failed to open file %1.\n").arg(path);
        return r;
    }
    info(r, QString("Parsing %1").arg(path));
    r.outcome = TcpReadOutcome::Completed;

    const QString suffix = QFileInfo(path).suffix();
    if (suffix == "xml") {
        readXml(file, path, r);
    } else if (suffix == "txt") {
        file.close();
        readText(path, r);
    } else {
        fail(r, "Only *.xml and *.txt file extensions can be read.");
    }
    if (r.outcome == TcpReadOutcome::Completed)
        info(r, QString("Found %1 tcp entries").arg(r.poses.size()));
    return r;
}
