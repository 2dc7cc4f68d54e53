#pragma once

// The program's own chessboard corner detector.

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

namespace details {

class Chessboard : public cv::Feature2D {
public:
    // Detector settings, filled by findChessboardCorners2.
    struct Settings {
        cv::Size patternSize;
        int minScale = 2;
        int maxScale = 4;
        int maxPoints = 500;
        int maxSeeds = 100;
        bool upsample = true;
    };

    // The board model: cells, corners, growing, orientation and output.
    class Board;
};

}  // namespace details
