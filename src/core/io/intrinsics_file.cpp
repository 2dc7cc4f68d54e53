#include "core/io/intrinsics_file.h"

#include "core/io/file_storage_guard.h"

#include "core/geometry/camera_checks.h"
#include "core/io/file_names.h"

#include <QFileInfo>

#include <exception>

QString intrinsicsFileName(const QString& sensorName)
{
    return safeFileNamePart(sensorName) + "_intr.yml";
}

IntrinsicsFileStatus writeIntrinsicsFile(const QString& path, const cv::Size& imageSize, const cv::Mat& K,
                                         const cv::Mat& kc, double rms, QString& error)
{
    error.clear();
    try {
        cv::FileStorage fs(path.toStdString(), cv::FileStorage::WRITE);
        if (!fs.isOpened()) {
            error = "the file cannot be opened for writing";
            return IntrinsicsFileStatus::CannotOpen;
        }
        fs << "imgSize" << imageSize;
        fs << "K" << K;
        fs << "kc" << kc;
        fs << "reprojErrRMS" << rms;
        fs.release();
    } catch (const cv::Exception& e) {
        error = QString::fromStdString(e.what()).trimmed();
        return IntrinsicsFileStatus::WriteFailed;
    }
    if (QFileInfo(path).size() <= 0) {
        error = "the file is empty after writing";
        return IntrinsicsFileStatus::EmptyAfterWrite;
    }
    return IntrinsicsFileStatus::Ok;
}

IntrinsicsFileStatus readIntrinsicsFile(const QString& path, IntrinsicsData& data, QString& error)
{
    data = IntrinsicsData();
    error.clear();
    IntrinsicsData read;
    try {
        cv::FileStorage fs;
        std::string why;
        IntrinsicsFileStatus status;
        if (!openFileForReading(fs, path.toStdString(), IntrinsicsFileStatus::CannotOpen,
                                IntrinsicsFileStatus::Unreadable, status, why)) {
            error = QString::fromStdString(why);
            return status;
        }

        const cv::FileNode nodeK = fs["K"];
        const cv::FileNode nodeKc = fs["kc"];
        const cv::FileNode nodeSize = fs["imgSize"];
        if (nodeK.isNone() && nodeKc.isNone() && nodeSize.isNone()) {
            error = "The file holds none of \"K\", \"kc\" and \"imgSize\".";
            return IntrinsicsFileStatus::NoKeys;
        }
        if (!nodeK.isNone()) {
            cv::Mat raw;
            readMatrixNode(nodeK, raw, why);
            read.K = checkedCameraMatrix(raw);
            if (read.K.empty()) {
                error = "\"K\" is not a 3x3 camera matrix with positive focal lengths.";
                return IntrinsicsFileStatus::BadCameraMatrix;
            }
        }
        if (!nodeKc.isNone()) {
            cv::Mat raw;
            readMatrixNode(nodeKc, raw, why);
            read.kc = checkedDistortionRow(raw);
            if (read.kc.empty() || !isAllowedDistortionCount(static_cast<int>(read.kc.total()))) {
                error = "\"kc\" is not one row of 4, 5, 8, 12 or 14 coefficients.";
                return IntrinsicsFileStatus::BadDistortion;
            }
        }
        // An image size that is not two positive numbers is ignored, unless
        // nothing else is there to import.
        auto isNumber = [](const cv::FileNode& node) { return node.isInt() || node.isReal(); };
        if (nodeSize.isSeq() && nodeSize.size() == 2 && isNumber(nodeSize[0]) && isNumber(nodeSize[1])) {
            const double w = (double)nodeSize[0], h = (double)nodeSize[1];
            if (w >= 1 && h >= 1 && w < 1e9 && h < 1e9)
                read.imageSize = cv::Size((int)w, (int)h);
        }
        if (read.K.empty() && read.kc.empty() && read.imageSize.area() == 0) {
            error = "The file holds neither \"K\" nor \"kc\", and its \"imgSize\" is not [width, height] "
                    "with two positive numbers: there is nothing to import.";
            return IntrinsicsFileStatus::NoKeys;
        }
    } catch (const cv::Exception& e) {
        error = QString::fromStdString(e.err);
        return IntrinsicsFileStatus::Unreadable;
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
        return IntrinsicsFileStatus::Unreadable;
    }
    data = read;
    return IntrinsicsFileStatus::Ok;
}
