#include "core/io/corner_file.h"

#include "core/io/file_storage_guard.h"

#include <QFileInfo>

#include <cmath>

QString cornerFilePath(const QString& imagePath)
{
    const QFileInfo info(imagePath);
    QString base = info.fileName();
    const int dot = base.lastIndexOf('.');
    if (dot >= 0)
        base.truncate(dot);
    return info.path() + "/" + base + ".yml";
}

namespace {

// The floats of a matrix read from a corner file, in memory order.
bool floatsOf(const cv::Mat& m, const char* key, std::vector<float>& values, QString& error)
{
    if (m.depth() != CV_32F) {
        error = QString("\"%1\" does not hold 32-bit floats").arg(key);
        return false;
    }
    const cv::Mat continuous = m.isContinuous() ? m : m.clone();
    const float* data = continuous.ptr<float>();
    values.assign(data, data + continuous.total() * continuous.channels());
    return true;
}

} // namespace

CornerFileStatus readCornerFile(const QString& imagePath, std::vector<cv::Point2f>& imagePoints,
                                std::vector<cv::Point3f>& objectPoints, QString& error)
{
    imagePoints.clear();
    objectPoints.clear();
    error.clear();
    const QString path = cornerFilePath(imagePath);
    if (!QFileInfo(path).isFile())
        return CornerFileStatus::Missing;

    cv::Mat corners, obj;
    try {
        cv::FileStorage fs;
        std::string why;
        switch (openFileStorageFile(fs, path.toStdString(), why)) {
        case StorageError::None:
            break;
        case StorageError::Unreadable:
            return CornerFileStatus::Missing;
        default:
            error = QString::fromStdString(why).trimmed();
            return CornerFileStatus::Invalid;
        }
        const cv::FileNode cornersNode = fs["corners"];
        const cv::FileNode objNode = fs["obj"];
        if (cornersNode.empty() || objNode.empty()) {
            error = "it needs the keys \"corners\" and \"obj\"";
            return CornerFileStatus::Invalid;
        }
        if (!cornersNode.isMap() || !objNode.isMap()) {
            error = "\"corners\" and \"obj\" must be matrices";
            return CornerFileStatus::Invalid;
        }
        if (!readMatrixNode(cornersNode, corners, why) || !readMatrixNode(objNode, obj, why)) {
            error = QString::fromStdString(why);
            return CornerFileStatus::Invalid;
        }
    } catch (const cv::Exception& e) {
        error = QString::fromStdString(e.what()).trimmed();
        return CornerFileStatus::Invalid;
    } catch (const std::exception& e) {
        error = QString::fromStdString(e.what()).trimmed();
        return CornerFileStatus::Invalid;
    }

    std::vector<float> c, o;
    if (!floatsOf(corners, "corners", c, error) || !floatsOf(obj, "obj", o, error))
        return CornerFileStatus::Invalid;
    if (c.empty() || c.size() % 2 != 0) {
        error = QString("\"corners\" holds %1 values, not a whole number of (x, y) pairs").arg(c.size());
        return CornerFileStatus::Invalid;
    }
    if (o.empty() || o.size() % 3 != 0) {
        error = QString("\"obj\" holds %1 values, not a whole number of (X, Y, Z) points").arg(o.size());
        return CornerFileStatus::Invalid;
    }
    if (c.size() / 2 != o.size() / 3) {
        error = QString("%1 image points but %2 object points").arg(c.size() / 2).arg(o.size() / 3);
        return CornerFileStatus::Invalid;
    }
    for (const float v : c)
        if (!std::isfinite(v)) {
            error = "\"corners\" holds a value that is not finite";
            return CornerFileStatus::Invalid;
        }
    for (const float v : o)
        if (!std::isfinite(v)) {
            error = "\"obj\" holds a value that is not finite";
            return CornerFileStatus::Invalid;
        }
    for (size_t k = 0; k < c.size() / 2; ++k)
        imagePoints.emplace_back(c[2 * k], c[2 * k + 1]);
    for (size_t k = 0; k < o.size() / 3; ++k)
        objectPoints.emplace_back(o[3 * k], o[3 * k + 1], o[3 * k + 2]);
    return CornerFileStatus::Loaded;
}
