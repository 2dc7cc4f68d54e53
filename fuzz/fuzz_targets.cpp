#include "fuzz_targets.h"

#include "core/io/corner_file.h"
#include "core/io/intrinsics_file.h"
#include "core/io/project_file.h"
#include "core/io/tcp_pose_file.h"
#include "core/structured_light/gray_code_decoder.h"
#include "core/structured_light/gray_code_pattern.h"
#include "core/structured_light/image_sets.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fuzz_targets {

namespace {

const QTemporaryDir& folder()
{
    static const QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder for the fuzz inputs\n");
        std::abort();
    }
    return dir;
}

} // namespace

std::string writeInput(const std::string& fileName, const uint8_t* data, size_t size)
{
    const std::string path = folder().filePath(QString::fromStdString(fileName)).toStdString();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
    return path;
}

void projectFile(const uint8_t* data, size_t size)
{
    const std::string path = writeInput("project.yml", data, size);
    Project project;
    const ProjectReadResult result = readProjectFile(path, project);
    // A failure always says what failed.
    if (!result.ok && result.message.empty())
        std::abort();
}

void cornerFile(const uint8_t* data, size_t size)
{
    writeInput("image.yml", data, size);
    const QString image = QString::fromStdString(writeInput("image.png", nullptr, 0));
    std::vector<cv::Point2f> points;
    std::vector<cv::Point3f> object;
    QString error;
    const CornerFileStatus status = readCornerFile(image, points, object, error);
    if (status == CornerFileStatus::Loaded && (points.empty() || points.size() != object.size()))
        std::abort();
    if (status == CornerFileStatus::Invalid && error.isEmpty())
        std::abort();
}

void intrinsicsFile(const uint8_t* data, size_t size)
{
    const QString path = QString::fromStdString(writeInput("camera_intr.yml", data, size));
    IntrinsicsData intrinsics;
    QString error;
    const IntrinsicsFileStatus status = readIntrinsicsFile(path, intrinsics, error);
    if (status == IntrinsicsFileStatus::Ok) {
        if (intrinsics.K.empty() && intrinsics.kc.empty() && intrinsics.imageSize.area() == 0)
            std::abort();
        if (!intrinsics.K.empty() && (intrinsics.K.rows != 3 || intrinsics.K.cols != 3))
            std::abort();
    } else if (status != IntrinsicsFileStatus::CannotOpen && error.isEmpty()) {
        std::abort();
    }
}

// The same bytes as an XML and as a text pose file.
void tcpPoseFile(const uint8_t* data, size_t size)
{
    for (const char* name : {"poses.xml", "poses.txt"}) {
        const QString path = QString::fromStdString(writeInput(name, data, size));
        const TcpPoseFileResult result = loadTcpPoseFile(path);
        if (result.poses.size() != result.rowTexts.size())
            std::abort();
        // A failed read always says so in the log or in the open error.
        if (result.outcome == TcpReadOutcome::Failed && result.log.empty() && result.openError.isEmpty())
            std::abort();
        for (const TcpPose& p : result.poses)
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) || !std::isfinite(p.rx) ||
                !std::isfinite(p.ry) || !std::isfinite(p.rz))
                std::abort();
    }
}

// A folder of one image set of a small projector whose captures are the
// pattern images themselves, with one of them replaced by the bytes: the
// first byte chooses which image and the second its file type.
void imageSetFolder(const uint8_t* data, size_t size)
{
    constexpr int kWidth = 24, kHeight = 10;
    static const std::string root = [] {
        const std::string folder = writeInput("sets", nullptr, 0);
        std::remove(folder.c_str());
        const std::string set = folder + "/pose00";
        if (!QDir().mkpath(QString::fromStdString(set)) ||
            writeGrayCodePatterns(set, kWidth, kHeight) != grayCodeImageCount(kWidth, kHeight))
            std::abort();
        return folder;
    }();
    const int count = grayCodeImageCount(kWidth, kHeight);
    const int replaced = size > 0 ? data[0] % count : 0;
    static const char* const kSuffixes[] = {"png", "jpg", "bmp", "PNG"};
    const char* suffix = kSuffixes[size > 1 ? data[1] % 4 : 0];

    // Restore the set, then put the bytes in place of one capture.
    const std::string set = root + "/pose00";
    for (const QString& name : QDir(QString::fromStdString(set)).entryList(QDir::Files))
        QFile::remove(QString::fromStdString(set) + "/" + name);
    writeGrayCodePatterns(set, kWidth, kHeight);
    const std::string target = set + cv::format("/%02d.", replaced);
    std::remove((target + "png").c_str());
    FILE* f = std::fopen((target + suffix).c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 2 && std::fwrite(data + 2, 1, size - 2, f) != size - 2)
        std::abort();
    std::fclose(f);

    const std::vector<ImageSetFolder> sets = listImageSets(QString::fromStdString(root));
    for (const ImageSetFolder& s : sets) {
        std::vector<std::string> files;
        for (const QString& name : s.files)
            files.push_back((s.path + "/" + name).toStdString());
        cv::Mat decoded, minMax;
        const DecodeResult result = decodeImageSetImages(
            static_cast<int>(files.size()),
            [&](int i) { return i >= 0 && i < (int)files.size() ? loadGrayscaleImage(files[i]) : cv::Mat(); },
            decoded, minMax, cv::Size(kWidth, kHeight), 0.5f, 5);
        if (result.ok == decoded.empty())
            std::abort();
        if (!result.ok && result.error.empty())
            std::abort();
    }
}

const std::vector<Target>& coreTargets()
{
    static const std::vector<Target> targets = {
        {"project_file", projectFile},
        {"corner_file", cornerFile},
        {"intrinsics_file", intrinsicsFile},
        {"tcp_pose_file", tcpPoseFile},
        {"image_set_folder", imageSetFolder},
        {"line_detection", lineDetection},
        {"jlinkage_vanishing_points", jlinkageVanishingPoints},
        {"manhattan_pose", manhattanPose},
        {"gray_code_decoder", grayCodeDecoder},
        {"axyb_solver", axybSolver},
        {"stereo_rectification", stereoRectification},
    };
    return targets;
}

} // namespace fuzz_targets
