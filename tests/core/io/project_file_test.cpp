// The project file: the twin's name, what is written in which order, poses
// round-tripped through the file in both stored directions, the refusal of
// every malformed file, and saves that never destroy the previous project.

#include "core/geometry/pose_helpers.h"
#include "core/io/file_storage_guard.h"
#include "core/io/project_file.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

using testing_support::camera;
using testing_support::rotation;
using testing_support::vec3;

Sensor sensor(const std::string& name, cv::Mat R, cv::Mat t, cv::Mat K = {}, cv::Mat kc = {},
              cv::Size size = {})
{
    Sensor s;
    s.name = name;
    s.R = R;
    s.t = t;
    s.K = K;
    s.kc = kc;
    s.imgSize = size;
    return s;
}

// A scene whose reference sensor is not at the identity, with intrinsics of
// every kind: full, K without kc, none, and a 14-coefficient model.
std::vector<Sensor> scene()
{
    cv::Mat kc14(1, 14, CV_64F);
    for (int i = 0; i < 14; ++i)
        kc14.at<double>(i) = 0.01 * (i + 1) * (i % 2 ? -1 : 1);
    return {
        sensor("Left", rotation(0.05, -0.02, 0.01), vec3(3, -4, 12), camera(1210.5, 1208.25, 640.125, 479.75),
               (cv::Mat_<double>(1, 5) << -0.21, 0.09, 0.0012, -0.0007, -0.015), cv::Size(1280, 960)),
        sensor("Right", rotation(0.1, 0.6, -0.2), vec3(-250, 10, 30), camera(1500, 1490, 800, 600), cv::Mat(),
               cv::Size(1600, 1200)),
        sensor("Robot", rotation(-1.2, 0.4, 2.0), vec3(800, -1200, 450)),
        sensor("Projector", rotation(0.3, -0.9, 0.2), vec3(40, 300, -90), camera(2100, 2100, 960, 540), kc14,
               cv::Size(1920, 1080)),
    };
}

// Pose of sensor b relative to sensor a: x_b = R x_a + t.
void relativePose(const Sensor& a, const Sensor& b, cv::Mat& R, cv::Mat& t)
{
    const cv::Mat T = cal::getRt4x4(b.R, b.t) * cal::invertRt4x4(cal::getRt4x4(a.R, a.t));
    R = T(cv::Rect(0, 0, 3, 3)).clone();
    t = T(cv::Rect(3, 0, 1, 3)).clone();
}

std::vector<std::string> topKeys(const std::string& path)
{
    cv::FileStorage fs(path, cv::FileStorage::READ);
    std::vector<std::string> keys;
    for (const cv::FileNode& n : fs.root())
        keys.push_back(n.name());
    return keys;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

class ProjectFileTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const
    {
        return dir.filePath(QString::fromStdString(name)).toStdString();
    }
    QTemporaryDir dir;
};

} // namespace

TEST(ProjectTwinPath, ReplacesOnlyTheFileNamesSuffix)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/data/cell/scene.yml", "/data/cell/scene.json"},
        {"/data/cell.v2/scene", "/data/cell.v2/scene.json"},
        {"/data/cell.v2/scene.yml", "/data/cell.v2/scene.json"},
        {"/data/scene.final.yml", "/data/scene.final.json"},
        {"scene", "scene.json"},
        {"scene.yaml", "scene.json"},
        {"./scene", "./scene.json"},
        {"/data/scene.json", "/data/scene.json"},
    };
    for (const auto& [path, twin] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(projectTwinPath(path), twin);
    }
}

TEST_F(ProjectFileTest, WritesTheKeysInOrderAndTheTwinWithoutVersion)
{
    const std::vector<Sensor> sensors = scene();
    const std::string path = file("cell.yml");
    const ProjectSaveResult saved = saveProjectFiles(path, sensors, 1, "2026-03-04T05:06:07");
    ASSERT_EQ(saved.status, ProjectSaveResult::Saved) << saved.error;
    EXPECT_EQ(saved.twinPath, file("cell.json"));

    const std::vector<std::string> yamlKeys = topKeys(path);
    const std::vector<std::string> expected = {
        "Version",  "ISODate", "Sensors", "World",       //
        "imgSize0", "K0",      "kc0",     "R0",    "T0", // full intrinsics
        "imgSize1", "K1",      "R1",      "T1",          // K without kc
        "R2",       "T2",                                // no intrinsics
        "imgSize3", "K3",      "kc3",     "R3",    "T3"};
    EXPECT_EQ(yamlKeys, expected);
    std::vector<std::string> jsonExpected(expected.begin() + 1, expected.end());
    EXPECT_EQ(topKeys(saved.twinPath), jsonExpected);
    EXPECT_EQ(slurp(saved.twinPath).find("Version"), std::string::npos);
    EXPECT_EQ(slurp(saved.twinPath).find("%YAML"), std::string::npos); // JSON, whatever the name
    EXPECT_EQ(slurp(path).rfind("%YAML", 0), 0u);

    cv::FileStorage fs(path, cv::FileStorage::READ);
    EXPECT_EQ(fs["Version"].string(), "Tessimo v2.10.15");
    EXPECT_EQ(fs["ISODate"].string(), "2026-03-04T05:06:07");
    EXPECT_EQ(fs["World"].size(), 1u);
    EXPECT_EQ(fs["World"][0].string(), "Right");
    cv::Mat R1, T1, R3, T3, kc3;
    fs["R1"] >> R1;
    fs["T1"] >> T1;
    EXPECT_MAT_NEAR(R1, cv::Mat::eye(3, 3, CV_64F), 0);
    EXPECT_MAT_NEAR(T1, cv::Mat::zeros(3, 1, CV_64F), 0);
    // "R3", "T3": x_world = R x_3 + T, the inverse of the projector's pose
    // relative to the world.
    fs["R3"] >> R3;
    fs["T3"] >> T3;
    cv::Mat R_3_world, t_3_world;
    relativePose(sensors[1], sensors[3], R_3_world, t_3_world);
    EXPECT_MAT_NEAR(R3, R_3_world.t(), 1e-12);
    EXPECT_MAT_NEAR(T3, -R_3_world.t() * t_3_world, 1e-9);
    fs["kc3"] >> kc3;
    EXPECT_MAT_NEAR(kc3, sensors[3].kc, 0);
    EXPECT_EQ(kc3.type(), CV_64F);
    EXPECT_EQ(fs["imgSize0"].size(), 2u);
    EXPECT_EQ((int)fs["imgSize0"][0], 1280);
}

TEST_F(ProjectFileTest, ASavedSceneReadsBackWithTheSamePosesRelativeToTheWorld)
{
    const std::vector<Sensor> sensors = scene();
    for (int world : {0, 2}) {
        SCOPED_TRACE(world);
        const std::string path = file("round" + std::to_string(world) + ".yml");
        ASSERT_EQ(saveProjectFiles(path, sensors, world, "2024-06-01T12:00:00").status,
                  ProjectSaveResult::Saved);
        for (const std::string& read : {path, projectTwinPath(path)}) {
            SCOPED_TRACE(read);
            Project project;
            const ProjectReadResult result = readProjectFile(read, project);
            ASSERT_TRUE(result.ok) << result.message;
            EXPECT_TRUE(result.warnings.empty());
            EXPECT_FALSE(project.legacy);
            EXPECT_EQ(project.world, world);
            ASSERT_EQ(project.sensors.size(), sensors.size());
            for (size_t j = 0; j < sensors.size(); ++j) {
                SCOPED_TRACE(sensors[j].name);
                const ProjectSensor& s = project.sensors[j];
                EXPECT_EQ(s.name, sensors[j].name);
                EXPECT_MAT_NEAR(s.K, sensors[j].K, 0);
                EXPECT_MAT_NEAR(s.kc, sensors[j].kc, 0);
                EXPECT_EQ(s.imgSize, sensors[j].K.empty() ? cv::Size() : sensors[j].imgSize);
                cv::Mat R_true, t_true;
                relativePose(sensors[world], sensors[j], R_true, t_true);
                EXPECT_MAT_NEAR(s.R_sensor_world, R_true, 1e-12);
                EXPECT_MAT_NEAR(s.t_sensor_world, t_true, 1e-9);
            }
        }
    }
}

TEST_F(ProjectFileTest, LegacyDatesKeepTheStoredDirectionOthersAreInverted)
{
    const cv::Mat R = rotation(0.3, -0.8, 1.4), T = vec3(120, -45, 980);
    struct Case {
        const char* date; // nullptr: no "ISODate" key
        bool legacy;
    };
    const Case cases[] = {{"2018-12-31T23:59:59", true},
                          {"2016-05-17T08:00:00", true},
                          {"2019-01-01T00:00:00", false},
                          {"2025-11-02T17:30:00", false},
                          {nullptr, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date ? c.date : "no date");
        const std::string path = file("legacy.yml");
        {
            cv::FileStorage fs(path, cv::FileStorage::WRITE | cv::FileStorage::FORMAT_YAML);
            if (c.date)
                fs << "ISODate" << c.date;
            fs << "Sensors"
               << "["
               << "World"
               << "Cam"
               << "]";
            fs << "World"
               << "["
               << "World"
               << "]";
            fs << "R0" << cv::Mat::eye(3, 3, CV_64F) << "T0" << cv::Mat::zeros(3, 1, CV_64F);
            fs << "R1" << R << "T1" << T;
        }
        Project project;
        const ProjectReadResult result = readProjectFile(path, project);
        ASSERT_TRUE(result.ok) << result.message;
        EXPECT_EQ(project.legacy, c.legacy);
        ASSERT_EQ(project.sensors.size(), 2u);
        const ProjectSensor& cam = project.sensors[1];
        if (c.legacy) {
            EXPECT_MAT_NEAR(cam.R_sensor_world, R, 0);
            EXPECT_MAT_NEAR(cam.t_sensor_world, T, 0);
        } else {
            EXPECT_MAT_NEAR(cam.R_sensor_world, R.t(), 0);
            EXPECT_MAT_NEAR(cam.t_sensor_world, -R.t() * T, 1e-12);
        }
    }
}

TEST_F(ProjectFileTest, AcceptsColumnsIntegersSeveralWorldsAndSensorsWithoutPose)
{
    const std::string path = file("lenient.yml");
    spit(path,
         "%YAML:1.0\n---\n"
         "ISODate: \"2023-02-01T10:00:00\"\n"
         "Sensors: [ A, B ]\n"
         "World: [ B, A ]\n"
         "K0: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: i\n   data: [ 900, 0, 320, 0, 910, 240, 0, 0, "
         "1 ]\n"
         "kc0: !!opencv-matrix\n   rows: 5\n   cols: 1\n   dt: f\n   data: [ -0.25, 0.125, 0.0, 0.0, 0.5 ]\n"
         "imgSize0: [ 640, 480 ]\n"
         "R1: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 1., 0., 0., 0., 1., 0., 0., 0., "
         "1. ]\n"
         "T1: !!opencv-matrix\n   rows: 3\n   cols: 1\n   dt: d\n   data: [ 0., 0., 0. ]\n");
    Project project;
    const ProjectReadResult result = readProjectFile(path, project);
    ASSERT_TRUE(result.ok) << result.message;
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings[0], "Project contains multiple worlds, using the first item B as the world");
    EXPECT_EQ(project.world, 1);
    const ProjectSensor& a = project.sensors[0];
    EXPECT_EQ(a.K.type(), CV_64F);
    EXPECT_MAT_NEAR(a.K, camera(900, 910, 320, 240), 0);
    EXPECT_EQ(a.kc.type(), CV_64F);
    EXPECT_EQ(a.kc.rows, 1);
    EXPECT_MAT_NEAR(a.kc, (cv::Mat_<double>(1, 5) << -0.25, 0.125, 0.0, 0.0, 0.5), 0);
    EXPECT_EQ(a.imgSize, cv::Size(640, 480));
    EXPECT_TRUE(a.R_sensor_world.empty());
    EXPECT_TRUE(a.t_sensor_world.empty());
    EXPECT_TRUE(project.sensors[1].K.empty());
}

TEST_F(ProjectFileTest, EveryMalformedFileIsRefusedNamingFileAndKey)
{
    const std::string head = "%YAML:1.0\n---\n";
    const std::string names = "Sensors: [ Cam0, Cam1 ]\nWorld: [ Cam0 ]\n";
    auto mat = [](const std::string& key, int rows, int cols, const std::string& dt,
                  const std::string& data) {
        return key + ": !!opencv-matrix\n   rows: " + std::to_string(rows) +
               "\n   cols: " + std::to_string(cols) + "\n   dt: " + dt + "\n   data: [ " + data + " ]\n";
    };
    const std::string K = "800, 0, 320, 0, 800, 240, 0, 0, 1";
    const std::string I = "1, 0, 0, 0, 1, 0, 0, 0, 1";
    const ProjectReadError kContent = ProjectReadError::BadContent, kParser = ProjectReadError::ParserError;
    struct Case {
        const char* what;
        std::string text; // empty: the file does not exist
        ProjectReadError error;
        std::string mentions;
    };
    const Case cases[] = {
        {"missing file", "", kContent, "Couldn't open project file"},
        {"not YAML", head + "Sensors: [ Cam0, \nWorld: {{\n", kParser, ""},
        {"no Sensors", head + "World: [ Cam0 ]\n", kContent, "\"Sensors\""},
        {"Sensors not a sequence", head + "Sensors: Cam0\nWorld: [ Cam0 ]\n", kContent, "\"Sensors\""},
        {"Sensors empty", head + "Sensors: []\nWorld: [ Cam0 ]\n", kContent, "Sensors node in"},
        {"Sensors item a number", head + "Sensors: [ Cam0, 12 ]\nWorld: [ Cam0 ]\n", kContent, "\"Sensors\""},
        {"no World", head + "Sensors: [ Cam0 ]\n", kContent, "\"World\""},
        {"World not a sequence", head + "Sensors: [ Cam0 ]\nWorld: Cam0\n", kContent, "\"World\""},
        {"World empty", head + "Sensors: [ Cam0 ]\nWorld: []\n", kContent, "World node in"},
        {"World an empty name", head + "Sensors: [ Cam0 ]\nWorld: [ \"\" ]\n", kContent, "World node in"},
        {"World unknown", head + "Sensors: [ Cam0 ]\nWorld: [ Cam9 ]\n", kContent,
         "does not contain the world Cam9"},
        {"ISODate a number", head + "ISODate: 2019\n" + names, kContent, "\"ISODate\""},
        {"ISODate not a date", head + "ISODate: \"yesterday\"\n" + names, kContent, "\"ISODate\""},
        {"K of 2x3", head + names + mat("K1", 2, 3, "d", "1, 0, 0, 0, 1, 0"), kContent, "\"K1\""},
        {"K a string", head + names + "K1: \"eye\"\n", kContent, "\"K1\""},
        {"K a sequence", head + names + "K1: [ 1, 2, 3 ]\n", kContent, "\"K1\""},
        {"K with zero fx", head + names + mat("K0", 3, 3, "d", "0, 0, 320, 0, 800, 240, 0, 0, 1"), kContent,
         "\"K0\""},
        {"K with NaN", head + names + mat("K0", 3, 3, "d", ".nan, 0, 320, 0, 800, 240, 0, 0, 1"), kContent,
         "\"K0\""},
        {"K of two channels", head + names + mat("K0", 3, 3, "2d", K + ", " + K), kParser, ""},
        {"kc of 6", head + names + mat("K0", 3, 3, "d", K) + mat("kc0", 1, 6, "d", "1, 2, 3, 4, 5, 6"),
         kContent, "\"kc0\""},
        {"kc of 2x4",
         head + names + mat("K0", 3, 3, "d", K) + mat("kc0", 2, 4, "d", "1, 2, 3, 4, 5, 6, 7, 8"), kContent,
         "\"kc0\""},
        {"imgSize of one number", head + names + "imgSize1: [ 640 ]\n", kContent, "\"imgSize1\""},
        {"imgSize zero", head + names + "imgSize1: [ 0, 480 ]\n", kContent, "\"imgSize1\""},
        {"imgSize negative", head + names + "imgSize1: [ 640, -480 ]\n", kContent, "\"imgSize1\""},
        {"imgSize of reals", head + names + "imgSize1: [ 640.5, 480 ]\n", kContent, "\"imgSize1\""},
        {"imgSize a string", head + names + "imgSize1: \"640x480\"\n", kContent, "\"imgSize1\""},
        {"R of 3x1", head + names + mat("R1", 3, 1, "d", "0, 0, 0") + mat("T1", 3, 1, "d", "0, 0, 0"),
         kContent, "\"R1\""},
        {"T of 1x3", head + names + mat("R1", 3, 3, "d", I) + mat("T1", 1, 3, "d", "0, 0, 0"), kContent,
         "\"T1\""},
        {"T infinite", head + names + mat("R1", 3, 3, "d", I) + mat("T1", 3, 1, "d", "0, .inf, 0"), kContent,
         "\"T1\""},
        {"R without T", head + names + mat("R1", 3, 3, "d", I), kContent, "\"T1\""},
        {"T without R", head + names + mat("T1", 3, 1, "d", "0, 0, 0"), kContent, "\"R1\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = file(std::string("bad ") + c.what + ".yml");
        if (!c.text.empty())
            spit(path, c.text);

        Project project;
        project.world = 42;
        project.sensors.resize(1);
        project.sensors[0].name = "untouched";
        const ProjectReadResult result = readProjectFile(path, project);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_NE(result.message.find(path), std::string::npos) << result.message;
        EXPECT_NE(result.message.find(c.mentions), std::string::npos) << result.message;
        EXPECT_EQ(project.world, 42);
        ASSERT_EQ(project.sensors.size(), 1u);
        EXPECT_EQ(project.sensors[0].name, "untouched");
    }
}

TEST_F(ProjectFileTest, SavesThatFailLeaveThePreviousProjectInPlace)
{
    const std::vector<Sensor> sensors = scene();

    // A name ending in ".json" would be overwritten by its own twin.
    const std::string jsonName = file("cell.json");
    EXPECT_EQ(saveProjectFiles(jsonName, sensors, 0, "2026-01-01T00:00:00").status,
              ProjectSaveResult::TwinIsMainFile);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(jsonName)));

    // A folder that does not exist: nothing is written.
    const std::string nowhere = file("no/such/folder/cell.yml");
    const ProjectSaveResult noFolder = saveProjectFiles(nowhere, sensors, 0, "2026-01-01T00:00:00");
    EXPECT_EQ(noFolder.status, ProjectSaveResult::MainNotOpened);
    EXPECT_FALSE(noFolder.error.empty());

    // The chosen file cannot be replaced (a folder stands there): the previous
    // twin is kept as it was.
    ASSERT_TRUE(QDir(dir.path()).mkdir("blocked.yml"));
    spit(file("blocked.json"), "previous twin");
    const ProjectSaveResult blocked =
        saveProjectFiles(file("blocked.yml"), sensors, 0, "2026-01-01T00:00:00");
    EXPECT_TRUE(blocked.status == ProjectSaveResult::MainNotOpened ||
                blocked.status == ProjectSaveResult::MainNotWritten)
        << blocked.status;
    EXPECT_EQ(slurp(file("blocked.json")), "previous twin");

    // The twin cannot be written: the YAML file is saved and the twin reported.
    spit(file("half.yml"), "previous project");
    ASSERT_TRUE(QDir(dir.path()).mkdir("half.json"));
    const ProjectSaveResult half = saveProjectFiles(file("half.yml"), sensors, 2, "2026-01-01T00:00:00");
    EXPECT_EQ(half.status, ProjectSaveResult::TwinNotWritten);
    EXPECT_EQ(half.twinPath, file("half.json"));
    EXPECT_FALSE(half.error.empty());
    Project project;
    EXPECT_TRUE(readProjectFile(file("half.yml"), project).ok);
    EXPECT_EQ(project.world, 2);

    // Bad arguments raise before any file is touched.
    EXPECT_THROW(saveProjectFiles(file("empty.yml"), {}, 0, "2026-01-01T00:00:00"), cv::Exception);
    EXPECT_THROW(saveProjectFiles(file("empty.yml"), sensors, 4, "2026-01-01T00:00:00"), cv::Exception);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(file("empty.yml"))));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(file("empty.json"))));
}

TEST_F(ProjectFileTest, RecordsOfFloatsAreWrittenAsTheirPoses)
{
    std::vector<Sensor> doubles = scene(), floats = scene();
    for (Sensor& s : floats) {
        s.R.convertTo(s.R, CV_32F);
        s.t.convertTo(s.t, CV_32F);
    }
    ASSERT_EQ(saveProjectFiles(file("d.yml"), doubles, 2, "2026-01-01T00:00:00").status,
              ProjectSaveResult::Saved);
    ASSERT_EQ(saveProjectFiles(file("f.yml"), floats, 2, "2026-01-01T00:00:00").status,
              ProjectSaveResult::Saved);
    Project d, f;
    ASSERT_TRUE(readProjectFile(file("d.yml"), d).ok);
    ASSERT_TRUE(readProjectFile(file("f.yml"), f).ok);
    for (size_t j = 0; j < doubles.size(); ++j) {
        SCOPED_TRACE(j);
        EXPECT_MAT_NEAR(f.sensors[j].R_sensor_world, d.sensors[j].R_sensor_world, 1e-5);
        EXPECT_MAT_NEAR(f.sensors[j].t_sensor_world, d.sensors[j].t_sensor_world, 1e-3);
    }
}

TEST_F(ProjectFileTest, TheChosenFileIsYamlAndTheTwinJsonWhateverTheExtension)
{
    for (const char* name : {"cell.xml", "cell.txt", "cell", "cell.yaml.gz"}) {
        SCOPED_TRACE(name);
        const ProjectSaveResult saved = saveProjectFiles(file(name), scene(), 0, "2026-01-01T00:00:00");
        ASSERT_EQ(saved.status, ProjectSaveResult::Saved) << saved.error;
        EXPECT_EQ(slurp(file(name)).rfind("%YAML:1.0", 0), 0u);
        const std::string json = slurp(saved.twinPath);
        EXPECT_EQ(json.rfind("{", 0), 0u) << json.substr(0, 40);
        Project project;
        EXPECT_TRUE(readProjectFile(file(name), project).ok);
        EXPECT_TRUE(readProjectFile(saved.twinPath, project).ok);
    }
}

TEST_F(ProjectFileTest, NamesWithBracketsAndSignsReadBackAsTheyWere)
{
    // Names that look like structure, numbers or YAML words stay names.
    const std::vector<std::string> names = {"[Left]", "{cam}", "]",   "}",    "123",   "-5",
                                            "a: b",   "- x",   "x#y", "null", "Cam 1", "\xc3\x96lbad"};
    std::vector<Sensor> sensors;
    for (size_t j = 0; j < names.size(); ++j)
        sensors.push_back(sensor(names[j], rotation(0.1 * j, -0.2, 0.3), vec3(10.0 * j, -5, 7)));
    for (int world : {0, 3, 11}) {
        SCOPED_TRACE(world);
        const ProjectSaveResult saved =
            saveProjectFiles(file("names.yml"), sensors, world, "2026-01-01T00:00:00");
        ASSERT_EQ(saved.status, ProjectSaveResult::Saved) << saved.error;
        EXPECT_EQ(topKeys(file("names.yml")).at(3), "World");
        Project project;
        const ProjectReadResult read = readProjectFile(file("names.yml"), project);
        ASSERT_TRUE(read.ok) << read.message;
        EXPECT_EQ(project.world, world);
        ASSERT_EQ(project.sensors.size(), names.size());
        for (size_t j = 0; j < names.size(); ++j)
            EXPECT_EQ(project.sensors[j].name, names[j]);
        cv::FileStorage twin(saved.twinPath, cv::FileStorage::READ);
        EXPECT_EQ(twin["World"][0].string(), names[world]);
    }
}

TEST_F(ProjectFileTest, AWorldThatWouldLoadAsAnotherSensorIsNotSaved)
{
    struct Case {
        std::vector<std::string> names;
        int world;
        std::string mentions;
    };
    const Case cases[] = {
        {{"Cam0", "Cam0", "Robot"}, 1, "Cam0"}, // the world would be read as row 0
        {{"Robot", "Cam1", "Cam1"}, 2, "Cam1"},
        {{"'Right'", "Left", "Right"}, 2, "'Right'"}, // quotes are lost in the file
        {{"Left", "Right ", "Right"}, 2, "Right "},   // and so are trailing blanks
        // A name that does not come back as it is from either file is
        // refused even when it meets no other.
        {{"'Left'", "Right", "Robot"}, 1, "'Left'"},
        {{"Left", "Right ", "Robot"}, 0, "Right "},
        {{"Left", "'", "Robot"}, 0, "'"},              // once made the name check itself throw
        {{"$base64$AAAA", "Left"}, 1, "$base64$AAAA"}, // its JSON twin could not be read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names[0] + "/" + c.names[1] + " world " + std::to_string(c.world));
        std::vector<Sensor> sensors;
        for (const std::string& name : c.names)
            sensors.push_back(sensor(name, rotation(0.2, 0.1, -0.4), vec3(1, 2, 3)));
        spit(file("kept.yml"), "previous project");
        QFile::remove(QString::fromStdString(file("kept.json")));
        const ProjectSaveResult saved =
            saveProjectFiles(file("kept.yml"), sensors, c.world, "2026-01-01T00:00:00");
        EXPECT_EQ(saved.status, ProjectSaveResult::NamesNotStorable);
        EXPECT_NE(saved.error.find(c.mentions), std::string::npos) << saved.error;
        EXPECT_EQ(slurp(file("kept.yml")), "previous project");
        EXPECT_FALSE(QFile::exists(QString::fromStdString(file("kept.json"))));
    }

    // Two sensors of one name are fine while the world is the first of them
    // or neither.
    for (const auto& [names, world] :
         {std::pair<std::vector<std::string>, int>{{"World", "Cam1", "Cam1"}, 0},
          std::pair<std::vector<std::string>, int>{{"Cam0", "Robot", "Cam0"}, 0}}) {
        std::vector<Sensor> sensors;
        for (const std::string& name : names)
            sensors.push_back(sensor(name, rotation(0.2, 0.1, -0.4), vec3(1, 2, 3)));
        const ProjectSaveResult saved =
            saveProjectFiles(file("fine.yml"), sensors, world, "2026-01-01T00:00:00");
        EXPECT_EQ(saved.status, ProjectSaveResult::Saved) << saved.error;
        Project project;
        ASSERT_TRUE(readProjectFile(file("fine.yml"), project).ok);
        EXPECT_EQ(project.world, world);
    }
}

TEST_F(ProjectFileTest, CameraMatrixAndCoefficientsAreWrittenAsDoublesInOneRow)
{
    std::vector<Sensor> sensors = scene();
    cv::Mat K32, kcColumn;
    sensors[0].K.convertTo(K32, CV_32F);
    sensors[0].K = K32;
    sensors[0].kc.reshape(1, 5).convertTo(kcColumn, CV_32F); // a column, as some calibrations return it
    sensors[0].kc = kcColumn;
    ASSERT_EQ(saveProjectFiles(file("shapes.yml"), sensors, 1, "2026-01-01T00:00:00").status,
              ProjectSaveResult::Saved);
    for (const std::string& path : {file("shapes.yml"), file("shapes.json")}) {
        SCOPED_TRACE(path);
        cv::FileStorage fs(path, cv::FileStorage::READ);
        cv::Mat K, kc;
        fs["K0"] >> K;
        fs["kc0"] >> kc;
        EXPECT_EQ(K.type(), CV_64F);
        EXPECT_MAT_NEAR(K, scene()[0].K, 1e-4);
        EXPECT_EQ(kc.type(), CV_64F);
        ASSERT_EQ(kc.size(), cv::Size(5, 1));
        EXPECT_MAT_NEAR(kc, scene()[0].kc, 1e-7);
    }
}

// Whatever is saved loads back to the same scene: names, world, intrinsics
// with and without image size or distortion, and every pose relative to the
// world; and what cannot be stored is refused, naming the sensor, with the
// previous project left in place.
TEST_F(ProjectFileTest, WhateverIsSavedLoadsBackToTheSameScene)
{
    const std::vector<std::string> storable = {"Cam",          "Left cam", "[x]",  "{y}",
                                               "\xc3\x96lbad", "7",        "a: b", "-"};
    const std::vector<std::string> unstorable = {"'", "'q'", "Right ", "$base64$AAAA"};
    const int kcLengths[] = {0, 4, 5, 8, 12, 14};
    cv::RNG rng(20261210);
    int saved = 0, refused = 0;
    for (int trial = 0; trial < 60; ++trial) {
        SCOPED_TRACE(trial);
        const int n = 1 + rng.uniform(0, 5);
        std::vector<Sensor> sensors;
        for (int j = 0; j < n; ++j) {
            const double tz = rng.uniform(-2000.0, 2000.0), ty = rng.uniform(-2000.0, 2000.0),
                         tx = rng.uniform(-2000.0, 2000.0);
            const double rz = rng.uniform(-3.0, 3.0), ry = rng.uniform(-1.5, 1.5),
                         rx = rng.uniform(-3.0, 3.0);
            const std::string name = storable[rng.uniform(0, (int)storable.size())] + std::to_string(j);
            Sensor s = sensor(name, rotation(rx, ry, rz), vec3(tx, ty, tz));
            if (rng.uniform(0, 3) > 0) {
                const double cy = rng.uniform(0.0, 1500.0), cx = rng.uniform(0.0, 2000.0);
                const double fy = rng.uniform(300.0, 3000.0), fx = rng.uniform(300.0, 3000.0);
                s.K = camera(fx, fy, cx, cy);
                const int nkc = kcLengths[rng.uniform(0, 6)];
                if (nkc > 0) {
                    s.kc.create(1, nkc, CV_64F);
                    rng.fill(s.kc, cv::RNG::UNIFORM, -0.5, 0.5);
                }
                if (rng.uniform(0, 2)) { // intrinsics imported without a size have none
                    const int height = rng.uniform(1, 5000), width = rng.uniform(1, 5000);
                    s.imgSize = cv::Size(width, height);
                }
            }
            sensors.push_back(s);
        }
        const bool expectRefusal = rng.uniform(0, 4) == 0;
        if (expectRefusal)
            sensors[rng.uniform(0, n)].name = unstorable[rng.uniform(0, (int)unstorable.size())];
        const int world = rng.uniform(0, n);

        spit(file("p.yml"), "previous project");
        const ProjectSaveResult result =
            saveProjectFiles(file("p.yml"), sensors, world, "2026-12-10T12:00:00");
        if (expectRefusal) {
            ++refused;
            EXPECT_EQ(result.status, ProjectSaveResult::NamesNotStorable);
            EXPECT_EQ(slurp(file("p.yml")), "previous project");
            const bool namesOne = std::any_of(sensors.begin(), sensors.end(), [&](const Sensor& s) {
                return result.error.find("sensor " + s.name + " ") != std::string::npos ||
                       result.error.find("world " + s.name + " ") != std::string::npos;
            });
            EXPECT_TRUE(namesOne) << result.error;
            continue;
        }
        ++saved;
        ASSERT_EQ(result.status, ProjectSaveResult::Saved) << result.error;
        for (const std::string& path : {file("p.yml"), result.twinPath}) {
            SCOPED_TRACE(path);
            cv::FileStorage fs(path, cv::FileStorage::READ);
            ASSERT_TRUE(fs.isOpened());
            ASSERT_EQ(fs["Sensors"].size(), sensors.size());
            for (int j = 0; j < n; ++j)
                EXPECT_EQ(fs["Sensors"][j].string(), sensors[j].name);
        }
        Project project;
        const ProjectReadResult read = readProjectFile(file("p.yml"), project);
        ASSERT_TRUE(read.ok) << read.message;
        ASSERT_EQ(project.sensors.size(), sensors.size());
        EXPECT_EQ(project.world, world);
        for (int j = 0; j < n; ++j) {
            SCOPED_TRACE(sensors[j].name);
            const ProjectSensor& p = project.sensors[j];
            EXPECT_EQ(p.name, sensors[j].name);
            EXPECT_EQ(p.imgSize, sensors[j].imgSize);
            EXPECT_EQ(p.K.empty(), sensors[j].K.empty());
            if (!p.K.empty()) {
                EXPECT_MAT_NEAR(p.K, sensors[j].K, 0);
            }
            EXPECT_EQ(p.kc.total(), sensors[j].K.empty() ? 0u : sensors[j].kc.total());
            if (!p.kc.empty()) {
                EXPECT_MAT_NEAR(p.kc, sensors[j].kc, 0);
            }
            cv::Mat R, t;
            relativePose(sensors[world], sensors[j], R, t);
            EXPECT_MAT_NEAR(p.R_sensor_world, R, 1e-9);
            EXPECT_MAT_NEAR(p.t_sensor_world, t, 1e-9);
        }
    }
    EXPECT_GT(saved, 0);
    EXPECT_GT(refused, 0);
}

// A valid project of tens of MB (the readers take files up to 64 MiB) is read
// whole: the checker's limits grow with the file, and every key is found
// without walking the whole file for each.
TEST_F(ProjectFileTest, AProjectOfTensOfMegabytesIsRead)
{
    cv::Mat kc14(1, 14, CV_64F);
    cv::randu(kc14, -0.5, 0.5);
    std::vector<Sensor> sensors;
    const int n = 24000;
    for (int j = 0; j < n; ++j)
        sensors.push_back(sensor("Camera number " + std::to_string(j), rotation(0.001 * j, -0.2, 0.3),
                                 vec3(j, -5, 7), camera(1000 + j, 1001 + j, 640, 480), kc14,
                                 cv::Size(1280, 960)));
    const std::string path = file("large.yml");
    const std::string text = projectText(sensors, n / 2, "2026-01-01T00:00:00", false);
    ASSERT_GT(text.size(), 20u << 20);
    ASSERT_LT(text.size(), 64u << 20);
    spit(path, text);

    Project project;
    const ProjectReadResult result = readProjectFile(path, project);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(project.world, n / 2);
    ASSERT_EQ(project.sensors.size(), size_t(n));
    for (int j : {0, 1, n / 2, n - 1}) {
        SCOPED_TRACE(j);
        const ProjectSensor& s = project.sensors[j];
        EXPECT_EQ(s.name, sensors[j].name);
        EXPECT_MAT_NEAR(s.K, sensors[j].K, 0);
        EXPECT_MAT_NEAR(s.kc, kc14, 0);
        EXPECT_EQ(s.imgSize, cv::Size(1280, 960));
        cv::Mat R, t;
        relativePose(sensors[n / 2], sensors[j], R, t);
        EXPECT_MAT_NEAR(s.R_sensor_world, R, 1e-9);
        EXPECT_MAT_NEAR(s.t_sensor_world, t, 1e-6);
    }
}

// Files that other writers of the format produce are read: an image size of
// [0, 0] next to a camera matrix stands for a size that is not known (the
// writer stores it so whenever a sensor has K without a known size), in YAML
// and in JSON. Without a camera matrix, or with only one zero, it is refused.
TEST_F(ProjectFileTest, AnUnknownImageSizeNextToACameraMatrixIsRead)
{
    const std::string K = "800., 0., 320., 0., 810., 240., 0., 0., 1.";
    const std::string yamlK0 =
        "K0: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ " + K + " ]\n";
    const std::string yamlHead = "%YAML:1.0\n---\nSensors:\n   - Cam0\n   - Cam1\nWorld:\n   - Cam0\n";
    const std::string json0 =
        "{\n    \"Sensors\": [ \"Cam0\" ],\n    \"World\": [ \"Cam0\" ],\n"
        "    \"imgSize0\": [ 0, 0 ],\n    \"K0\": {\n        \"type_id\": \"opencv-matrix\",\n"
        "        \"rows\": 3,\n        \"cols\": 3,\n        \"dt\": \"d\",\n"
        "        \"data\": [ " +
        K + " ]\n    }\n}\n";
    struct Case {
        const char* what;
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {"[0, 0] before K", yamlHead + "imgSize0: [ 0, 0 ]\n" + yamlK0, true},
        {"[0, 0] after K", yamlHead + yamlK0 + "imgSize0: [ 0, 0 ]\n", true},
        {"[0, 0] in JSON", json0, true},
        {"[0, 0] without K", yamlHead + yamlK0 + "imgSize1: [ 0, 0 ]\n", false},
        {"[0, 480] next to K", yamlHead + "imgSize0: [ 0, 480 ]\n" + yamlK0, false},
        {"[640, 0] next to K", yamlHead + "imgSize0: [ 640, 0 ]\n" + yamlK0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = file("unknown size.yml");
        spit(path, c.text);
        Project project;
        const ProjectReadResult result = readProjectFile(path, project);
        ASSERT_EQ(result.ok, c.ok) << result.message;
        if (!c.ok) {
            EXPECT_NE(result.message.find("imgSize"), std::string::npos) << result.message;
            continue;
        }
        EXPECT_MAT_NEAR(project.sensors[0].K, camera(800, 810, 320, 240), 0);
        EXPECT_EQ(project.sensors[0].imgSize, cv::Size(0, 0));
    }
}

// A save checks every name with one checker process, however many sensors
// there are; a load starts one as well.
TEST_F(ProjectFileTest, ASaveStartsOneCheckerForAllNames)
{
    const std::string checker = fileStorageCheckerPath();
    ASSERT_FALSE(checker.empty());
    // A stand-in that notes each start and runs the real checker.
    const std::string log = file("starts.log"), script = file("tessimo_storage_check");
    spit(script, "#!/bin/sh\necho started >> '" + log + "'\nexec '" + checker + "'\n");
    ASSERT_TRUE(QFile::setPermissions(QString::fromStdString(script), QFile::ReadOwner | QFile::ExeOwner));
    auto starts = [&] {
        const std::string text = slurp(log);
        return std::count(text.begin(), text.end(), '\n');
    };
    useFileStorageChecker(script);

    std::vector<Sensor> sensors;
    for (int j = 0; j < 50; ++j)
        sensors.push_back(sensor("Cam" + std::to_string(j), rotation(0.01 * j, 0, 0), vec3(j, 0, 0)));
    EXPECT_EQ(saveProjectFiles(file("fifty.yml"), sensors, 3, "2026-01-01T00:00:00").status,
              ProjectSaveResult::Saved);
    EXPECT_EQ(starts(), 1);
    Project project;
    EXPECT_TRUE(readProjectFile(file("fifty.yml"), project).ok);
    EXPECT_EQ(starts(), 2);
    sensors[17].name = "Right "; // does not come back as it is
    const ProjectSaveResult refused =
        saveProjectFiles(file("refused.yml"), sensors, 3, "2026-01-01T00:00:00");
    EXPECT_EQ(refused.status, ProjectSaveResult::NamesNotStorable);
    EXPECT_NE(refused.error.find("sensor Right "), std::string::npos) << refused.error;
    EXPECT_EQ(starts(), 3);

    useFileStorageChecker("");
}
