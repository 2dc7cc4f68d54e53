// The TCP pose reader: both formats, the carried-over XML values, and a table
// of bad files, each with its outcome, its log line and the poses kept.

#include "core/io/tcp_pose_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

class TcpPoseFile : public ::testing::Test {
protected:
    QTemporaryDir dir;

    QString write(const QString& name, const QByteArray& content)
    {
        const QString path = QDir(dir.path()).filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    static bool logHas(const TcpPoseFileResult& r, const QString& text, bool error)
    {
        for (const TcpLogLine& l : r.log)
            if (l.text.contains(text) && l.error == error)
                return true;
        return false;
    }
    static QString logText(const TcpPoseFileResult& r)
    {
        QString s;
        for (const TcpLogLine& l : r.log)
            s += (l.error ? "[E] " : "") + l.text + "\n";
        return s;
    }
};

TEST_F(TcpPoseFile, XmlAttributesDefaultsAndCarriedValues)
{
    const QString path = write("poses.xml", R"(<?xml version="1.0"?>
<TCP_Poses>
  <Pose ID="7" Name="home"><X>1.5</X><Y>2</Y><Z>-3e-1</Z><RX>0.1</RX><RY>0.2</RY><RZ>0.3</RZ></Pose>
  <Pose ID="abc"><RZ>0.9</RZ><X>4</X><Note><Deep>1</Deep></Note><X>5</X></Pose>
  <Pose Name="third"/>
  <Pose/>
</TCP_Poses>
)");
    const TcpPoseFileResult r = loadTcpPoseFile(path);
    ASSERT_EQ(r.outcome, TcpReadOutcome::Completed) << logText(r).toStdString();
    ASSERT_EQ(r.poses.size(), 4u);
    ASSERT_EQ(r.rowTexts.size(), 4u);
    EXPECT_EQ(r.poses[0].id, 7);
    EXPECT_EQ(r.poses[0].name, "home");
    EXPECT_EQ(r.rowTexts[0], "ID: 7 Name: home");
    EXPECT_DOUBLE_EQ(r.poses[0].x, 1.5);
    EXPECT_DOUBLE_EQ(r.poses[0].z, -0.3);
    // A non-integer ID reads 0 and shows as written; a repeated child wins;
    // missing children keep the pose before; unknown children are skipped.
    EXPECT_EQ(r.poses[1].id, 0);
    EXPECT_EQ(r.rowTexts[1], "ID: abc ");
    EXPECT_EQ(r.poses[1].name, "TCP_1");
    EXPECT_DOUBLE_EQ(r.poses[1].x, 5);
    EXPECT_DOUBLE_EQ(r.poses[1].y, 2);
    EXPECT_DOUBLE_EQ(r.poses[1].rz, 0.9);
    EXPECT_EQ(r.poses[2].id, 2);
    EXPECT_EQ(r.rowTexts[2], "Name: third");
    EXPECT_DOUBLE_EQ(r.poses[2].rz, 0.9);
    EXPECT_EQ(r.poses[3].name, "TCP_3");
    EXPECT_EQ(r.rowTexts[3], "");
    EXPECT_TRUE(logHas(r, "Parsing " + path, false));
    EXPECT_TRUE(logHas(r, "Found 4 tcp entries", false));
}

TEST_F(TcpPoseFile, TextLinesExtraFieldsAndExponents)
{
    const QString path = write("poses.txt", "1 2 3 0 0 0 extra\n-1.5e3\t2.25 0 0.1 -0.2 3e-2\r\n");
    const TcpPoseFileResult r = loadTcpPoseFile(path);
    ASSERT_EQ(r.outcome, TcpReadOutcome::Completed) << logText(r).toStdString();
    ASSERT_EQ(r.poses.size(), 2u);
    EXPECT_DOUBLE_EQ(r.poses[0].x, 1);
    EXPECT_DOUBLE_EQ(r.poses[0].z, 3);
    EXPECT_DOUBLE_EQ(r.poses[1].x, -1500);
    EXPECT_DOUBLE_EQ(r.poses[1].rz, 0.03);
    EXPECT_EQ(r.poses[1].id, 1);
    EXPECT_EQ(r.poses[1].name, "TCP_1");
    EXPECT_EQ(r.rowTexts[1], "TCP_1");
    EXPECT_TRUE(logHas(r, "Found 2 tcp entries", false));
}

// Only values that are not finite are refused: very large finite values and
// a zero rotation vector are poses like any other.
TEST_F(TcpPoseFile, LargeValuesAndZeroRotationAreRead)
{
    for (const char* file : {"big.txt", "big.xml"}) {
        SCOPED_TRACE(file);
        const bool xml = QString(file).endsWith("xml");
        const QByteArray content =
            xml ? "<TCP_Poses><Pose><X>1e154</X><Y>-2e300</Y><Z>0</Z><RX>0</RX><RY>0</RY><RZ>0</RZ></Pose>"
                  "</TCP_Poses>"
                : "1e154 -2e300 0 0 0 0\n";
        const TcpPoseFileResult r = loadTcpPoseFile(write(file, content));
        ASSERT_EQ(r.outcome, TcpReadOutcome::Completed) << logText(r).toStdString();
        ASSERT_EQ(r.poses.size(), 1u);
        EXPECT_DOUBLE_EQ(r.poses[0].x, 1e154);
        EXPECT_DOUBLE_EQ(r.poses[0].y, -2e300);
        EXPECT_EQ(r.poses[0].rx, 0);
        EXPECT_EQ(r.poses[0].rz, 0);
    }
}

TEST_F(TcpPoseFile, EmptyRootCompletesWithNoPoses)
{
    const TcpPoseFileResult r = loadTcpPoseFile(write("none.xml", "<TCP_Poses></TCP_Poses>"));
    EXPECT_EQ(r.outcome, TcpReadOutcome::Completed);
    EXPECT_TRUE(r.poses.empty());
    EXPECT_TRUE(logHas(r, "Found 0 tcp entries", false));
}

TEST_F(TcpPoseFile, MissingPathIsNoFileAndSilent)
{
    for (const QString& path : {QString(), QDir(dir.path()).filePath("absent.xml")}) {
        const TcpPoseFileResult r = loadTcpPoseFile(path);
        EXPECT_EQ(r.outcome, TcpReadOutcome::NoFile);
        EXPECT_TRUE(r.log.empty());
        EXPECT_TRUE(r.poses.empty());
    }
}

TEST_F(TcpPoseFile, BadFilesFailWithTheirMessageAndKeepThePosesBefore)
{
    const QByteArray good = "<Pose><X>1</X><Y>2</Y><Z>3</Z><RX>0</RX><RY>0</RY><RZ>0</RZ></Pose>";
    struct Case {
        const char* what;
        const char* file;
        QByteArray content;
        QString message; // %1 is the path
        size_t kept;
    };
    const std::vector<Case> cases = {
        {"upper-case suffix", "poses.XML", "<TCP_Poses/>",
         "Only *.xml and *.txt file extensions can be read.", 0},
        {"unknown suffix", "poses.csv", "1 2 3 0 0 0\n", "Only *.xml and *.txt file extensions can be read.",
         0},
        {"empty xml", "empty.xml", "", "Incorrect file entry: expected <TCP_Poses>", 0},
        {"wrong root", "root.xml", "<Poses>" + good + "</Poses>",
         "Incorrect file entry: expected <TCP_Poses>", 0},
        {"not well-formed, pose being read dropped", "broken.xml",
         "<TCP_Poses>" + good + "<Pose><X>4</X><Y>5</Y", "Error: ", 1},
        {"unknown element under the root", "unknown.xml",
         "<TCP_Poses>" + good + "<Comment>x</Comment>" + good + "</TCP_Poses>",
         "Unexpected element <Comment>", 1},
        {"first pose lacks a value", "first.xml",
         "<TCP_Poses><Pose><X>1</X><Y>2</Y><Z>3</Z><RX>0</RX><RY>0</RY></Pose></TCP_Poses>",
         "Pose 0 (TCP_0) has no RZ element", 0},
        {"value not a number", "nan.xml",
         "<TCP_Poses>" + good + "<Pose Name=\"bad\"><X>1,5</X></Pose>" + good + "</TCP_Poses>",
         "Pose 1 (bad): X value '1,5' is not a finite number", 1},
        {"value not finite", "inf.xml", "<TCP_Poses>" + good + "<Pose><Y>inf</Y></Pose></TCP_Poses>",
         "Y value 'inf' is not a finite number", 1},
        {"text line with five numbers", "five.txt", "1 2 3 0 0 0\n4 5 6 0 0 0\n1 2 3 4 5\n7 8 9 0 0 0\n",
         "Invalid line 2 in file %1", 2},
        {"text header", "header.txt", "x y z rx ry rz\n1 2 3 0 0 0\n", "Invalid line 0 in file %1", 0},
        {"text trailing empty line", "blank.txt", "1 2 3 0 0 0\n\n", "Invalid line 1 in file %1", 1},
        {"text not finite", "nan.txt", "1 2 3 0 0 0\n1 nan 3 0 0 0\n", "Invalid line 1 in file %1", 1},
        {"text overflow", "huge.txt", "1 2 1e999 0 0 0\n", "Invalid line 0 in file %1", 0},
        {"text overflow names the pose and the value", "huge2.txt", "1 2 3 0 0 0\n4 -1e400 6 0 0 0\n",
         "Invalid line 1 in file %1: pose TCP_1, Y value '-1e400' is not a finite number", 1},
        {"text decimal comma", "comma.txt", "1,5 2 3 0 0 0\n", "Invalid line 0 in file %1", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = write(c.file, c.content);
        const TcpPoseFileResult r = loadTcpPoseFile(path);
        EXPECT_EQ(r.outcome, TcpReadOutcome::Failed) << logText(r).toStdString();
        const QString message = c.message.contains("%1") ? c.message.arg(path) : c.message;
        EXPECT_TRUE(logHas(r, message, true)) << logText(r).toStdString();
        EXPECT_FALSE(logHas(r, "tcp entries", false)) << logText(r).toStdString();
        EXPECT_EQ(r.poses.size(), c.kept);
        EXPECT_EQ(r.rowTexts.size(), r.poses.size());
        for (const TcpPose& p : r.poses)
            for (const double v : {p.x, p.y, p.z, p.rx, p.ry, p.rz})
                EXPECT_TRUE(std::isfinite(v));
    }
}

// A path that exists but cannot be opened as a file (a folder named like a
// pose file, which stops even a privileged user).
TEST_F(TcpPoseFile, UnopenableFileAsksForAMessageBox)
{
    const QString path = QDir(dir.path()).filePath("folder.txt");
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.txt"));
    const TcpPoseFileResult r = loadTcpPoseFile(path);
    EXPECT_EQ(r.outcome, TcpReadOutcome::Failed);
    EXPECT_TRUE(r.openFailed);
    EXPECT_EQ(r.openError, QString("Failed to open file %1.\n").arg(path));
    EXPECT_TRUE(r.log.empty());
    EXPECT_TRUE(r.poses.empty());
}

} // namespace
