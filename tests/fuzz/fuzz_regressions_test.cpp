// Inputs that once crashed, hung or fooled a core file reader or a core
// computation, run through its fuzz target again.

#include "fuzz_regressions.h"

#include "core/io/corner_file.h"
#include "core/io/intrinsics_file.h"
#include "core/io/project_file.h"

#include <QTemporaryDir>

#include <chrono>
#include <functional>

TEST(FuzzRegressions, EveryKeptInputGetsADefinedAnswer)
{
    testing_support::runFuzzRegressions(fuzz_targets::coreTargets(), TESSIMO_FUZZ_REGRESSIONS);
}

// The kept inputs of the readers that parse with OpenCV's FileStorage are
// refused, each within a few seconds.
TEST(ReaderRegressions, FileStorageInputsAreRefusedWithinSeconds)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The input copied into the folder under `name`, in place of the last
    // one; a copy that failed would be refused as a missing file instead.
    const auto copy = [&](const QString& input, const char* name) {
        const QString path = dir.filePath(name);
        QFile::remove(path);
        EXPECT_TRUE(QFile::copy(input, path)) << path.toStdString();
        return path;
    };
    // Each reader gets a copy of the input; true when it accepted the file.
    const std::pair<const char*, std::function<bool(const QString&)>> readers[] = {
        {"project_file",
         [&](const QString& input) {
             Project project;
             return readProjectFile(copy(input, "project.yml").toStdString(), project).ok;
         }},
        {"intrinsics_file",
         [&](const QString& input) {
             IntrinsicsData data;
             QString error;
             return readIntrinsicsFile(copy(input, "Cam0_intr.yml"), data, error) == IntrinsicsFileStatus::Ok;
         }},
        {"corner_file",
         [&](const QString& input) {
             copy(input, "shot.yml"); // the corner file of shot.png
             std::vector<cv::Point2f> points;
             std::vector<cv::Point3f> object;
             QString error;
             return readCornerFile(dir.filePath("shot.png"), points, object, error) ==
                    CornerFileStatus::Loaded;
         }},
    };
    for (const auto& [folder, read] : readers) {
        SCOPED_TRACE(folder);
        const QDir inputs(QString(TESSIMO_FUZZ_REGRESSIONS) + "/" + folder);
        ASSERT_TRUE(inputs.exists());
        ASSERT_FALSE(inputs.entryList(QDir::Files).isEmpty());
        for (const QString& name : inputs.entryList(QDir::Files)) {
            SCOPED_TRACE(name.toStdString());
            const auto start = std::chrono::steady_clock::now();
            EXPECT_FALSE(read(inputs.filePath(name)));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        }
    }
}
