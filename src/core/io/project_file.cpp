#include "core/io/project_file.h"

#include "core/geometry/camera_checks.h"
#include "core/geometry/pose_helpers.h"
#include "core/io/file_storage_guard.h"
#include "core/io/version.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <unordered_map>

namespace {

const std::string kLegacyBefore = "2019-01-01T00:00:00";

std::string key(const char* prefix, size_t j)
{
    return prefix + std::to_string(j);
}

// [R t; 0 0 0 1] of a record's pose, whatever the matrices' depth.
cv::Mat poseOf(const Sensor& s)
{
    cv::Mat R, t;
    s.R.convertTo(R, CV_64F);
    s.t.convertTo(t, CV_64F);
    return cal::getRt4x4(R, t);
}

// ---------------------------------------------------------------- writing

void writeProject(cv::FileStorage& fs, const std::vector<Sensor>& sensors, int world,
                  const std::string& isoDate, bool withVersion, bool reduced = false)
{
    if (withVersion && !reduced)
        fs << "Version" << std::string("Tessimo v") + kTessimoVersion;
    fs << "ISODate" << isoDate;
    // Names are written as plain values: streamed with <<, a name beginning
    // with a bracket or a brace would open or close a structure instead.
    fs << "Sensors"
       << "[";
    for (const Sensor& s : sensors)
        cv::write(fs, std::string(), s.name);
    fs << "]";
    fs << "World"
       << "[";
    cv::write(fs, std::string(), sensors[world].name);
    fs << "]";

    const cv::Mat T_world_ref = poseOf(sensors[world]);
    for (size_t j = 0; j < sensors.size(); ++j) {
        const Sensor& s = sensors[j];
        if (!s.K.empty() && reduced) {
            cv::Mat K;
            s.K.convertTo(K, CV_64F);
            fs << key("K", j) << K;
        } else if (!s.K.empty()) {
            // K of doubles and kc as one row of doubles, whatever the record holds.
            cv::Mat K, kc;
            s.K.convertTo(K, CV_64F);
            // An unknown size is left out rather than written as [0, 0],
            // which no reader takes as a size.
            if (s.imgSize.width > 0 && s.imgSize.height > 0)
                fs << key("imgSize", j) << s.imgSize;
            fs << key("K", j) << K;
            if (!s.kc.empty()) {
                s.kc.clone().reshape(1, 1).convertTo(kc, CV_64F);
                fs << key("kc", j) << kc;
            }
        }
        cv::Mat R, T;
        if ((int)j == world) {
            R = cv::Mat::eye(3, 3, CV_64F);
            T = cv::Mat::zeros(3, 1, CV_64F);
        } else {
            // x_world = T_world_ref * T_ref_j * x_j
            const cv::Mat T_world_j = T_world_ref * cal::invertRt4x4(poseOf(s));
            T_world_j(cv::Rect(0, 0, 3, 3)).convertTo(R, CV_64F);
            T_world_j(cv::Rect(3, 0, 1, 3)).convertTo(T, CV_64F);
        }
        fs << key("R", j) << R;
        fs << key("T", j) << T;
    }
}

// ---------------------------------------------------------------- reading

// A check of the file failed; carries the message for the user.
struct Malformed {
    std::string message;
};

// The top-level nodes of a file by key. OpenCV's own lookup walks the whole
// map for every key, which makes a project of many sensors take quadratic
// time; this looks each key up at once. A key given twice means its first
// node, as in OpenCV's lookup.
class TopLevelNodes {
public:
    explicit TopLevelNodes(const cv::FileStorage& fs)
    {
        const cv::FileNode root = fs.root();
        if (!root.isMap())
            return;
        const size_t n = root.size();
        cv::FileNodeIterator it = root.begin();
        for (size_t i = 0; i < n; ++i, ++it) {
            const cv::FileNode node = *it;
            nodes.emplace(node.name(), node);
        }
    }

    // The node of the key, or a node of type NONE when there is none.
    cv::FileNode operator[](const std::string& key) const
    {
        const auto found = nodes.find(key);
        return found == nodes.end() ? cv::FileNode() : found->second;
    }

private:
    std::unordered_map<std::string, cv::FileNode> nodes;
};

class ProjectReader {
public:
    explicit ProjectReader(const std::string& path) : path(path) {}

    [[noreturn]] void invalid(const std::string& detail) const
    {
        throw Malformed{"Invalid Tessimo data structure in " + path + "\n" + detail};
    }

    static std::string quoted(const std::string& k) { return "\"" + k + "\""; }

    std::vector<std::string> strings(const cv::FileNode& node, const std::string& k) const
    {
        if (node.empty() || !node.isSeq())
            invalid(quoted(k) + " is missing or is not a sequence");
        std::vector<std::string> out;
        int i = 0;
        for (const cv::FileNode& item : node) {
            if (!item.isString())
                invalid("item " + std::to_string(i) + " of " + quoted(k) + " is not a string");
            out.push_back(item.string());
            ++i;
        }
        return out;
    }

    // A matrix node of rows x cols numbers (a dimension of -1 is free), as
    // CV_64F; empty when the key is absent.
    cv::Mat matrix(const cv::FileNode& node, const std::string& k, int rows, int cols) const
    {
        if (node.isNone())
            return {};
        cv::Mat m;
        std::string why;
        readMatrixNode(node, m, why);
        if (m.empty() || m.dims != 2 || m.channels() != 1)
            invalid(quoted(k) + " is not a matrix of numbers");
        if ((rows >= 0 && m.rows != rows) || (cols >= 0 && m.cols != cols))
            invalid(quoted(k) + " must be a " + std::to_string(rows) + "x" + std::to_string(cols) +
                    " matrix, not " + std::to_string(m.rows) + "x" + std::to_string(m.cols));
        cv::Mat d;
        m.convertTo(d, CV_64F);
        if (!cv::checkRange(d))
            invalid(quoted(k) + " holds a value that is not a finite number");
        return d;
    }

    ProjectSensor sensor(const TopLevelNodes& top, size_t j, bool legacy) const
    {
        ProjectSensor s;

        const std::string kKey = key("K", j);
        s.K = matrix(top[kKey], kKey, 3, 3);
        if (!s.K.empty() && !isCameraMatrix(s.K))
            invalid(quoted(kKey) + " has a focal length that is not positive");

        // [0, 0] next to a camera matrix stands for a size that is not known.
        const std::string sizeKey = key("imgSize", j);
        const cv::FileNode sizeNode = top[sizeKey];
        if (!sizeNode.isNone()) {
            if (!sizeNode.isSeq() || sizeNode.size() != 2 || !sizeNode[0].isInt() || !sizeNode[1].isInt())
                invalid(quoted(sizeKey) + " must be [width, height] with two positive integers");
            const cv::Size size((int)sizeNode[0], (int)sizeNode[1]);
            const bool unknown = size == cv::Size(0, 0) && !s.K.empty();
            if (!unknown && (size.width < 1 || size.height < 1))
                invalid(quoted(sizeKey) + " must be [width, height] with two positive integers" +
                        (s.K.empty() ? "" : ", or [0, 0] for a size that is not known"));
            s.imgSize = unknown ? cv::Size(0, 0) : size;
        }

        const std::string kcKey = key("kc", j);
        const cv::Mat kc = matrix(top[kcKey], kcKey, -1, -1);
        if (!kc.empty()) {
            const int n = (int)kc.total();
            const bool vector = kc.rows == 1 || kc.cols == 1;
            if (!vector || !isAllowedDistortionCount(n))
                invalid(quoted(kcKey) + " must be one row or column of 4, 5, 8, 12 or 14 coefficients, not " +
                        std::to_string(kc.rows) + "x" + std::to_string(kc.cols));
            s.kc = kc.reshape(1, 1).clone();
        }

        const std::string rKey = key("R", j), tKey = key("T", j);
        const cv::Mat R = matrix(top[rKey], rKey, 3, 3);
        const cv::Mat T = matrix(top[tKey], tKey, 3, 1);
        if (R.empty() != T.empty())
            invalid(quoted(R.empty() ? rKey : tKey) + " is missing while " + quoted(R.empty() ? tKey : rKey) +
                    " is present");
        if (!R.empty()) {
            if (legacy) {
                s.R_sensor_world = R;
                s.t_sensor_world = T;
            } else {
                // The file stores x_world = R x_j + T.
                s.R_sensor_world = R.t();
                s.t_sensor_world = -R.t() * T;
            }
        }
        return s;
    }

    Project read(const cv::FileStorage& fs, std::vector<std::string>& warnings) const
    {
        Project project;
        const TopLevelNodes top(fs);

        const cv::FileNode dateNode = top["ISODate"];
        if (!dateNode.isNone()) {
            if (!dateNode.isString())
                invalid("\"ISODate\" is not a string");
            const QDateTime date =
                QDateTime::fromString(QString::fromStdString(dateNode.string()), Qt::ISODate);
            if (!date.isValid())
                invalid("\"ISODate\" is not an ISO 8601 date and time: " + dateNode.string());
            project.legacy = date < QDateTime::fromString(QString::fromStdString(kLegacyBefore), Qt::ISODate);
        }

        const std::vector<std::string> names = strings(top["Sensors"], "Sensors");
        if (names.empty())
            throw Malformed{"Sensors node in " + path + " is empty"};

        const std::vector<std::string> worlds = strings(top["World"], "World");
        if (worlds.empty())
            throw Malformed{"World node in " + path + " is empty"};
        if (worlds.front().empty())
            throw Malformed{"World node in " + path + " names no sensor"};
        if (worlds.size() > 1)
            warnings.push_back("Project contains multiple worlds, using the first item " + worlds.front() +
                               " as the world");

        const auto found = std::find(names.begin(), names.end(), worlds.front());
        if (found == names.end())
            throw Malformed{"Sensors node does not contain the world " + worlds.front() + "\nin " + path};
        project.world = int(found - names.begin());

        for (size_t j = 0; j < names.size(); ++j) {
            project.sensors.push_back(sensor(top, j, project.legacy));
            project.sensors.back().name = names[j];
        }
        return project;
    }

private:
    std::string path;
};

// A document holding only the name, as the project's writer writes it.
std::string nameDocument(const std::string& name, int format)
{
    cv::FileStorage out(".txt", cv::FileStorage::WRITE | cv::FileStorage::MEMORY | format);
    out << "Sensors"
        << "[";
    cv::write(out, std::string(), name);
    out << "]";
    return out.releaseAndGetString();
}

// The names of the "Sensors" node of an opened storage, or false when it is
// not a sequence of `count` items. An item that is not a string reads as an
// empty name, or makes the answer false when `stringsOnly` is set.
bool sensorNames(const cv::FileStorage& fs, size_t count, bool stringsOnly, std::vector<std::string>& names)
{
    names.clear();
    try {
        if (!fs.isOpened())
            return false;
        const cv::FileNode node = fs["Sensors"];
        if (!node.isSeq() || node.size() != count)
            return false;
        cv::FileNodeIterator it = node.begin();
        for (size_t i = 0; i < count; ++i, ++it) {
            if (stringsOnly && !(*it).isString())
                return false;
            names.push_back((*it).isString() ? (*it).string() : std::string());
        }
        return true;
    } catch (...) {
        return false;
    }
}

// Why the project would not load back to the same names and world, or an
// empty string when it would. Names are kept as plain strings, and some do not
// survive that (quotes, trailing blanks, a leading "$base64$" in JSON); the
// reader also takes the first sensor whose name equals the world's, so the
// world must be the first sensor of its name. Every text is checked by one
// file checker: the two project texts and, to tell which name fails, each
// name alone in both formats.
std::string nameProblem(const std::string& yaml, const std::string& json, const std::vector<Sensor>& sensors,
                        int world)
{
    const int formats[2] = {cv::FileStorage::FORMAT_YAML, cv::FileStorage::FORMAT_JSON};
    std::vector<std::string> texts = {yaml, json};
    for (const Sensor& s : sensors)
        for (int format : formats)
            texts.push_back(nameDocument(s.name, format));
    std::vector<cv::FileStorage> fs;
    std::vector<std::string> errors;
    const std::vector<StorageError> opened =
        openFileStoragesGuarded(fs, texts, cv::FileStorage::FORMAT_AUTO, errors);

    std::vector<std::string> names;
    for (size_t j = 0; j < sensors.size(); ++j) {
        for (size_t f = 0; f < 2; ++f) {
            const size_t k = 2 + 2 * j + f;
            if (opened[k] != StorageError::None || !sensorNames(fs[k], 1, true, names) ||
                names[0] != sensors[j].name)
                return "The name of the sensor " + sensors[j].name +
                       " cannot be stored in a project file as it is; rename the sensor.";
        }
    }
    for (size_t k = 0; k < 2; ++k) {
        if (opened[k] != StorageError::None || !sensorNames(fs[k], sensors.size(), false, names))
            return "The sensor names cannot be stored in a project file as they are; rename the sensors.";
        for (size_t j = 0; j < sensors.size(); ++j) {
            if (names[j] != sensors[world].name)
                continue;
            if ((int)j == world)
                break;
            return "The world " + sensors[world].name + " could not be told apart from the sensor " +
                   sensors[j].name + " when the project is loaded; rename one of them.";
        }
    }
    return {};
}

} // namespace

std::string projectTwinPath(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart)
        return path + ".json";
    return path.substr(0, dot) + ".json";
}

namespace {

std::string projectTextOf(const std::vector<Sensor>& sensors, int world, const std::string& isoDate,
                          bool json, bool reduced)
{
    if (sensors.empty())
        CV_Error(cv::Error::StsBadArg, "a project needs at least one sensor");
    if (world < 0 || world >= (int)sensors.size())
        CV_Error(cv::Error::StsOutOfRange, "the world sensor is not a row of the scene");
    cv::FileStorage fs(json ? ".json" : ".yml",
                       cv::FileStorage::WRITE | cv::FileStorage::MEMORY |
                           (json ? cv::FileStorage::FORMAT_JSON : cv::FileStorage::FORMAT_YAML));
    writeProject(fs, sensors, world, isoDate, !json, reduced);
    return fs.releaseAndGetString();
}

} // namespace

std::string projectText(const std::vector<Sensor>& sensors, int world, const std::string& isoDate, bool json)
{
    return projectTextOf(sensors, world, isoDate, json, false);
}

std::string reducedProjectText(const std::vector<Sensor>& sensors, int world, const std::string& isoDate,
                               bool json)
{
    return projectTextOf(sensors, world, isoDate, json, true);
}

namespace {

ProjectSaveResult saveProjectTexts(const std::string& path, const std::vector<Sensor>& sensors, int world,
                                   const std::string& isoDate, bool reduced)
{
    ProjectSaveResult result;
    result.twinPath = projectTwinPath(path);
    const QString mainName = QString::fromStdString(path);
    const QString twinName = QString::fromStdString(result.twinPath);
    if (QFileInfo(mainName).absoluteFilePath() == QFileInfo(twinName).absoluteFilePath()) {
        result.status = ProjectSaveResult::TwinIsMainFile;
        return result;
    }

    // Everything that can raise is done before any file is touched.
    const std::string yaml = reduced ? reducedProjectText(sensors, world, isoDate, false)
                                     : projectText(sensors, world, isoDate, false);
    const std::string json = reduced ? reducedProjectText(sensors, world, isoDate, true)
                                     : projectText(sensors, world, isoDate, true);

    // Both files must give back every name, and the world's must single it out.
    if (const std::string problem = nameProblem(yaml, json, sensors, world); !problem.empty()) {
        result.status = ProjectSaveResult::NamesNotStorable;
        result.error = problem;
        return result;
    }

    QSaveFile mainFile(mainName);
    if (!mainFile.open(QIODevice::WriteOnly)) {
        result.status = ProjectSaveResult::MainNotOpened;
        result.error = mainFile.errorString().toStdString();
        return result;
    }
    QSaveFile twinFile(twinName);
    const bool twinOpen = twinFile.open(QIODevice::WriteOnly);
    const bool twinWritten =
        twinOpen && twinFile.write(json.data(), (qint64)json.size()) == (qint64)json.size();

    if (mainFile.write(yaml.data(), (qint64)yaml.size()) != (qint64)yaml.size() || !mainFile.commit()) {
        result.status = ProjectSaveResult::MainNotWritten;
        result.error = mainFile.errorString().toStdString();
        return result; // the twin's temporary file is discarded with twinFile
    }
    if (!twinWritten || !twinFile.commit()) {
        result.status = ProjectSaveResult::TwinNotWritten;
        result.error = twinFile.errorString().toStdString();
    }
    return result;
}

} // namespace

ProjectSaveResult saveProjectFiles(const std::string& path, const std::vector<Sensor>& sensors, int world,
                                   const std::string& isoDate)
{
    return saveProjectTexts(path, sensors, world, isoDate, false);
}

ProjectSaveResult saveReducedProjectFiles(const std::string& path, const std::vector<Sensor>& sensors,
                                          int world, const std::string& isoDate)
{
    return saveProjectTexts(path, sensors, world, isoDate, true);
}

ProjectReadResult readProjectFile(const std::string& path, Project& project)
{
    ProjectReadResult result;
    result.error = ProjectReadError::BadContent;
    try {
        cv::FileStorage fs;
        std::string error;
        const StorageError opened = QFileInfo(QString::fromStdString(path)).isFile()
                                        ? openFileStorageFile(fs, path, error)
                                        : StorageError::Unreadable;
        if (opened == StorageError::OpenCv) {
            result.error = ProjectReadError::ParserError;
            result.message = error + "\nin project file " + path;
            return result;
        }
        if (opened != StorageError::None) {
            result.message = "Couldn't open project file: " + path + (error.empty() ? "" : "\n" + error);
            return result;
        }
        std::vector<std::string> warnings;
        Project read = ProjectReader(path).read(fs, warnings);
        project = std::move(read);
        result.warnings = std::move(warnings);
        result.ok = true;
        result.error = ProjectReadError::None;
    } catch (const Malformed& m) {
        result.message = m.message;
    } catch (const cv::Exception& e) {
        result.error = ProjectReadError::ParserError;
        result.message = e.err + "\nin project file " + path;
    } catch (const std::exception& e) {
        result.message = "Couldn't read project file: " + path + "\n" + e.what();
    }
    return result;
}
