#pragma once

// FastX: a multi-scale detector of chessboard corners (X-junctions, where two
// bright and two dark wedges meet) in 8-bit grey images.
//
// At every scale the working image is averaged along thin strips through each
// pixel in n = 2m directions (box filters on rotated copies of the image). At
// an X-junction the strip along the bright diagonal is the brightest and the
// one along the dark diagonal the darkest, so the pixel's directional means,
// read around the half circle, rise and fall exactly once. The feature
// strength is (brightest - darkest)^2 when the profile has exactly
// `branchCount` extrema, else 0. Key points are the strongest local maxima of
// the strength per tile, refined by a Gaussian fit through three samples.
//
// Conventions:
//  - positions are in input-image pixels, integral values at pixel centres,
//    also when the detector works on the image enlarged 2x (`upsample`);
//  - angles are radians, counter-clockwise as the image is seen: angle a is
//    the image direction (cos a, -sin a); a direction is a line, a ~ a + pi;
//  - scale i stands for strips of 2^(i+1) input pixels (2^(i+2) pixels of the
//    enlarged image); its key points have size g = 2^i + 1 (in input pixels:
//    (2^(i+1) + 1) / 2 with `upsample`) and octave i.
//
// Errors are raised with cv::error (cv::Exception) naming the reporting
// function, for example "details::FastX::calcFeatureMap".

#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>

#include <vector>

namespace details {

class FastX : public cv::Feature2D {
public:
    struct Settings {
        float threshold = 40.0f;                         // minimum feature strength of a key point
        float angleStep = static_cast<float>(CV_PI / 4); // angle between neighbouring strip directions
        int branchCount = 2;                             // extrema a direction profile must have
        int minScale = 2;                                // finest scale
        int maxScale = 5;                                // coarsest scale
        bool contrastFilter = true;                      // subtract the surround from each feature map
        bool upsample = true;                            // work on the image enlarged 2x
    };

    FastX();
    explicit FastX(const Settings& settings);

    // Replaces the settings. StsBadArg "invalid scale" when minScale < 0 or
    // minScale > maxScale (the settings then stay as they were).
    void reconfigure(const Settings& settings);
    const Settings& settings() const { return parameters; }

    // cv::Feature2D interface.
    using cv::Feature2D::detect;
    void detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                cv::InputArray mask = cv::noArray()) override;
    // Descriptors, when needed: N x 2 CV_32F, row i = (x, y) of key point i.
    void detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                          cv::OutputArray descriptors, bool useProvidedKeypoints = false) override;
    int descriptorSize() const override;
    int descriptorType() const override;

    virtual void detectImpl(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                            cv::InputArray mask = cv::noArray()) const;
    virtual void operator()(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                            cv::OutputArray descriptors) const;
    virtual void detectWithoutDescriptors(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints,
                                          cv::OutputArray descriptors) const;

    // Key points of an 8-bit single-channel image; also returns the feature maps.
    void detectImpl(const cv::Mat& image, std::vector<cv::KeyPoint>& keypoints,
                    std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const;

    // Filter images (one per scale, index i - minScale: 8-bit, n channels,
    // channel k = mean along direction k*pi/n) and feature maps (one per
    // scale: CV_32F strengths) of the working image. The mask must be empty.
    // Errors (reported by "details::FastX::detectImpl"): StsBadSize "Mask is
    // not supported", StsBadSize "Unsupported image type" (not CV_8UC1).
    void detectImpl(const cv::Mat& image, std::vector<cv::Mat>& rotatedImages,
                    std::vector<cv::Mat>& featureMaps, const cv::Mat& mask) const;

    // Tile maxima of the feature maps, coarse scales first; a key point blocks
    // its neighbourhood for the scales after it. The optional mask (CV_8UC1,
    // the maps' size) allows key points only where it is not 0.
    void findKeyPoints(const std::vector<cv::Mat>& featureMaps, std::vector<cv::KeyPoint>& keypoints,
                       const cv::Mat& mask = cv::Mat()) const;

    // Directions of the bright (positive) and dark (negative) wedges at each
    // key point, in direction order, in [0, pi] (a dark wedge along direction
    // 0 as -pi, never as -0); the key point's `angle` is
    // set to 360 - (direction of its last extremum in degrees). The profile is
    // read at the working-image position the key point was found at. A key
    // point too close to the border to be read gets an empty list.
    std::vector<std::vector<float>> calcAngles(const std::vector<cv::Mat>& rotatedImages,
                                               std::vector<cv::KeyPoint>& keypoints) const;

    // Feature strength of every pixel of one filter image (CV_32F, same size).
    void calcFeatureMap(const cv::Mat& rotatedImage, cv::Mat& featureMap) const;

private:
    Settings parameters;
};

// Rotates `src` by `angle` radians (counter-clockwise as seen) about its centre
// into an image of `size` whose centre coincides with the source's; outside
// pixels are 0. An angle of exactly 0 copies the source unchanged.
void rotateImage(float angle, cv::InputArray src, cv::Size size, cv::OutputArray dst);

// Offset of the peak of a Gaussian through three consecutive strengths from
// the centre sample; 0 when any strength is <= 0 or the samples are collinear
// in the logarithm.
float subPixelOffset(float left, float centre, float right);

} // namespace details
