// Board detection in image files: one file at a time, and the pass over a
// run's files with its cache (reuse, a changed file, changed options, abort,
// the fallback image, errors).

#include "core/chessboard/detection_pass.h"

#include "synthetic.h"
#include "test_helpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <string>
#include <thread>
#include <vector>

namespace {

const cv::Size kPattern{9, 6};
constexpr double kSquare = 30;

const synth::Camera& camera()
{
    static const synth::Camera cam = synth::makeCamera(cv::Size(640, 480), 700);
    return cam;
}

cv::Mat renderBoard(const synth::View& view)
{
    synth::RenderOptions render;
    render.supersample = 2;
    return synth::renderChessboard(camera(), kPattern, kSquare, view, render);
}

void writeText(const std::string& path, const char* text)
{
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

ChessboardOptions boardOptions()
{
    ChessboardOptions options;
    options.patternSize = kPattern;
    options.squareWidth = options.squareHeight = float(kSquare);
    return options;
}

// A folder with two board images, a blank one and a file that is not an image.
struct Folder {
    QTemporaryDir dir;
    std::string board0, board1, blank, text;
    std::vector<synth::View> views = synth::boardViews(camera(), kPattern, kSquare, 2, 61);

    Folder()
    {
        board0 = path("board0.png");
        board1 = path("board1.png");
        blank = path("blank.png");
        text = path("text.png");
        cv::imwrite(board0, renderBoard(views[0]));
        cv::imwrite(board1, renderBoard(views[1]));
        cv::imwrite(blank, cv::Mat(480, 640, CV_8U, cv::Scalar(110)));
        writeText(text, "not an image");
    }
    std::string path(const char* name) const { return QDir(dir.path()).filePath(name).toStdString(); }
};

std::vector<DetectionRequest> requestsOf(const std::vector<std::string>& paths)
{
    std::vector<DetectionRequest> requests;
    for (const std::string& p : paths) {
        DetectionRequest r;
        r.path = p;
        requests.push_back(r);
    }
    return requests;
}

// What a pass told its progress callback, per image: 'S' skipped, 'R'
// reused, 'D' detected.
struct Recorder {
    std::string steps;
    DetectionProgress callback()
    {
        return [this](size_t, const std::optional<BoardDetection>& d, bool reused) {
            steps += !d ? 'S' : reused ? 'R' : 'D';
            return true;
        };
    }
};

} // namespace

// One image file per call: a board, a board mirrored, an image without a
// board, a file that is not an image, and a detector error.
TEST(BoardInFile, OutcomesOfOneImage)
{
    QTemporaryDir dir;
    const synth::Camera cam = camera();
    const auto views = synth::boardViews(cam, kPattern, kSquare, 1, 61);
    const cv::Mat image = renderBoard(views[0]);
    const std::string board = QDir(dir.path()).filePath("board.png").toStdString();
    const std::string blank = QDir(dir.path()).filePath("blank.png").toStdString();
    const std::string text = QDir(dir.path()).filePath("text.png").toStdString();
    cv::imwrite(board, image);
    cv::imwrite(blank, cv::Mat(480, 640, CV_8U, cv::Scalar(110)));
    {
        QFile f(QString::fromStdString(text));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not an image");
    }
    const std::vector<cv::Point2f> truth = synth::projectBoard(cam, kPattern, kSquare, views[0]);
    ChessboardOptions options;
    options.patternSize = kPattern;
    // Largest corner error on a sharp render sampled twice per pixel.
    constexpr double kMaxCornerPx = 0.35;

    const BoardDetection found = detectBoardInFile(board, options, false);
    ASSERT_EQ(found.outcome, BoardDetection::Outcome::Found);
    EXPECT_EQ(found.imageSize, cv::Size(640, 480));
    EXPECT_LT(testing_support::cornerErrors(found.corners, truth).max, kMaxCornerPx);

    // Mirrored, the corners are those of the flipped image.
    const BoardDetection mirrored = detectBoardInFile(board, options, true);
    ASSERT_EQ(mirrored.outcome, BoardDetection::Outcome::Found);
    ASSERT_EQ(mirrored.corners.size(), truth.size());
    double near = 0;
    for (const cv::Point2f& c : mirrored.corners) {
        double best = 1e9;
        for (const cv::Point2f& t : truth)
            best = std::min(best, double(cv::norm(cv::Point2f(639.f - c.x, c.y) - t)));
        near = std::max(near, best);
    }
    EXPECT_LT(near, kMaxCornerPx);

    const BoardDetection none = detectBoardInFile(blank, options, false);
    EXPECT_EQ(none.outcome, BoardDetection::Outcome::NotFound);
    EXPECT_EQ(none.imageSize, cv::Size(640, 480));
    EXPECT_TRUE(none.corners.empty());
    const BoardDetection unreadable = detectBoardInFile(text, options, false);
    EXPECT_EQ(unreadable.outcome, BoardDetection::Outcome::NotFound);
    EXPECT_EQ(unreadable.imageSize, cv::Size(0, 0));

    // The program's own detector refuses a pattern of 2 corners in a row.
    ChessboardOptions tiny = options;
    tiny.radon = true;
    tiny.patternSize = cv::Size(2, 6);
    const BoardDetection error = detectBoardInFile(board, tiny, false);
    EXPECT_EQ(error.outcome, BoardDetection::Outcome::Error);
    EXPECT_FALSE(error.error.empty());
}

TEST(DetectionPass, DetectsEachSelectedImageOnceAndReusesItWhileNothingChanges)
{
    Folder f;
    std::vector<DetectionRequest> requests = requestsOf({f.board0, f.blank, f.text, f.board1});
    requests[3].selected = false;
    DetectionCache cache;
    const ChessboardOptions options = boardOptions();

    Recorder first;
    const DetectionPassResult a = detectBoards(requests, options, cache, first.callback());
    EXPECT_FALSE(a.aborted);
    EXPECT_EQ(first.steps, "DDDS");
    ASSERT_EQ(a.detections.size(), 4u);
    ASSERT_TRUE(a.detections[0] && a.detections[0]->found());
    EXPECT_EQ(a.detections[1]->outcome, BoardDetection::Outcome::NotFound);
    EXPECT_TRUE(a.detections[1]->readable());
    EXPECT_FALSE(a.detections[2]->readable());
    EXPECT_FALSE(a.detections[3].has_value());

    // The same files and options: nothing is detected again, and a square
    // size does not change what the detector returns.
    ChessboardOptions larger = options;
    larger.squareWidth = larger.squareHeight = 45.f;
    requests[3].selected = true;
    Recorder second;
    const DetectionPassResult b = detectBoards(requests, larger, cache, second.callback());
    EXPECT_EQ(second.steps, "RRRD");
    ASSERT_TRUE(b.detections[0] && b.detections[0]->found());
    EXPECT_EQ(b.detections[0]->corners, a.detections[0]->corners);
    EXPECT_TRUE(b.detections[3]->found());
}

TEST(DetectionPass, AForgottenFileIsDetectedAgainAndTheOthersAreReused)
{
    Folder f;
    const std::vector<DetectionRequest> requests = requestsOf({f.board0, f.blank, f.board1});
    std::vector<DetectionRequest> mirrored = requests;
    mirrored[0].mirror = true;
    DetectionCache cache;
    const ChessboardOptions options = boardOptions();
    detectBoards(requests, options, cache);
    detectBoards(mirrored, options, cache);
    EXPECT_EQ(cache.size(), 4u);

    cache.forget(f.board0); // both of its mirror flags
    cache.forget(f.path("never-seen.png"));
    EXPECT_EQ(cache.size(), 2u);
    Recorder again, againMirrored;
    detectBoards(requests, options, cache, again.callback());
    detectBoards(mirrored, options, cache, againMirrored.callback());
    EXPECT_EQ(again.steps, "DRR");
    EXPECT_EQ(againMirrored.steps, "DRR");
}

TEST(DetectionPass, DetectsAgainWhatChangedOnDiskOrInTheDetectionOptions)
{
    Folder f;
    const std::vector<DetectionRequest> requests = requestsOf({f.board0, f.blank});
    DetectionCache cache;
    const ChessboardOptions options = boardOptions();
    detectBoards(requests, options, cache);

    // The blank image is replaced by a board under the same name.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cv::imwrite(f.blank, renderBoard(f.views[1]));
    Recorder changed;
    const DetectionPassResult r = detectBoards(requests, options, cache, changed.callback());
    EXPECT_EQ(changed.steps, "RD");
    EXPECT_TRUE(r.detections[1]->found());

    struct Case {
        const char* what;
        void (*change)(ChessboardOptions&, DetectionRequest&);
    };
    const Case cases[] = {
        {"pattern size", [](ChessboardOptions& o, DetectionRequest&) { o.patternSize = cv::Size(8, 6); }},
        {"normalisation", [](ChessboardOptions& o, DetectionRequest&) { o.normalizeImage = true; }},
        {"detector", [](ChessboardOptions& o, DetectionRequest&) { o.radon = true; }},
        {"refinement window", [](ChessboardOptions& o, DetectionRequest&) { o.windowFactor = 0.3; }},
        {"zero zone", [](ChessboardOptions& o, DetectionRequest&) { o.zeroZone = cv::Size(-1, -1); }},
        {"mirror", [](ChessboardOptions&, DetectionRequest& q) { q.mirror = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChessboardOptions o = options;
        DetectionRequest q = requests[0];
        c.change(o, q);
        Recorder other;
        detectBoards({q}, o, cache, other.callback());
        EXPECT_EQ(other.steps, "D");
    }

    cache.clear();
    Recorder cleared;
    detectBoards(requests, options, cache, cleared.callback());
    EXPECT_EQ(cleared.steps, "DD");
}

TEST(DetectionPass, StopsWhenTheProgressCallbackSaysSoAndKeepsWhatItFound)
{
    Folder f;
    const std::vector<DetectionRequest> requests = requestsOf({f.board0, f.board1, f.blank});
    DetectionCache cache;
    std::vector<size_t> seen;
    const DetectionPassResult r = detectBoards(requests, boardOptions(), cache,
                                               [&](size_t i, const std::optional<BoardDetection>&, bool) {
                                                   seen.push_back(i);
                                                   return i < 1;
                                               });
    EXPECT_TRUE(r.aborted);
    EXPECT_EQ(seen, (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(r.detections[0] && r.detections[0]->found());
    EXPECT_TRUE(r.detections[1] && r.detections[1]->found());
    EXPECT_FALSE(r.detections[2].has_value());

    // What was found before the stop is reused by the next pass.
    Recorder next;
    detectBoards(requests, boardOptions(), cache, next.callback());
    EXPECT_EQ(next.steps, "RRD");
}

TEST(DetectionPass, FallbackImageIsTriedOnlyWhenTheFirstShowsNoBoardAndHasItsSize)
{
    Folder f;
    const std::string small = f.path("small.png");
    cv::imwrite(small, cv::Mat(240, 320, CV_8U, cv::Scalar(90)));
    std::vector<DetectionRequest> requests = requestsOf({f.blank, f.board0, f.blank});
    requests[0].fallbackPath = f.board1;
    requests[1].fallbackPath = f.board1;
    DetectionCache cache;
    const DetectionPassResult r = detectBoards(requests, boardOptions(), cache);
    ASSERT_TRUE(r.detections[0]->found());
    EXPECT_TRUE(r.detections[0]->fromFallback);
    ASSERT_TRUE(r.detections[1]->found());
    EXPECT_FALSE(r.detections[1]->fromFallback);
    EXPECT_EQ(r.detections[1]->corners, detectBoardInFile(f.board0, boardOptions(), false).corners);

    // A fallback of another size is not used.
    std::vector<DetectionRequest> mismatched = requestsOf({f.blank});
    mismatched[0].fallbackPath = small;
    EXPECT_FALSE(detectBoards(mismatched, boardOptions(), cache).detections[0]->found());
}

TEST(DetectionPass, DetectorErrorsAreReportedAndNotKept)
{
    Folder f;
    ChessboardOptions tiny = boardOptions();
    tiny.radon = true;
    tiny.patternSize = cv::Size(2, 6); // the own detector refuses 2 corners in a row
    DetectionCache cache;
    Recorder first, second;
    const DetectionPassResult r = detectBoards(requestsOf({f.board0}), tiny, cache, first.callback());
    EXPECT_EQ(r.detections[0]->outcome, BoardDetection::Outcome::Error);
    detectBoards(requestsOf({f.board0}), tiny, cache, second.callback());
    EXPECT_EQ(second.steps, "D");
    EXPECT_EQ(cache.size(), 0u);
}
