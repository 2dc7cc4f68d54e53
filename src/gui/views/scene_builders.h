#pragma once

// Builders of the 3D calibration scene: coordinate frames with axis letters,
// camera frusta, camera images as textured planes, chessboard targets, and
// the pose transform of a prop.
//
// Units and conventions:
//   - scene units are millimetres;
//   - a pose (R, t) given to a builder maps the object's own coordinates into
//     scene coordinates: x_scene = R * x_object + t, R 3x3 and t 3x1 (any
//     numeric depth, read as doubles);
//   - K is the 3x3 camera matrix (fx = K(0,0), fy = K(1,1), cx = K(0,2),
//     cy = K(1,2)), an image size is (width, height) in pixels;
//   - colours are (r, g, b) in 0..1, passed as cv::Point3d (x = r, y = g, z = b).
//
// The builders keep no state. Objects handed to a renderer or an assembly live
// as long as it holds them; objects written into the caller's smart pointers
// stay with the caller. Callers render the window themselves.

#include <opencv2/core.hpp>
#include <vtkSmartPointer.h>

#include <array>
#include <string>

class vtkActor;
class vtkAssembly;
class vtkFollower;
class vtkPolyDataMapper;
class vtkProp3D;
class vtkRenderer;
class vtkVectorText;

// Gives the prop a new user transform [R t; 0 0 0 1], replacing the previous
// one; the prop's own position, orientation and scale stay untouched.
void setActorPose(vtkProp3D* prop, const cv::Mat& R, const cv::Mat& t);

// World frame: axes of 600 with the letters X, Y, Z in one assembly, added to
// the renderer; a label facing the viewer at the origin unless name is empty.
void drawWorldAxes(vtkRenderer* renderer, const std::string& name);

// Axes of 600 posed at (R, t); a label facing the viewer at t unless name is
// empty.
void drawFrame(vtkRenderer* renderer, const cv::Mat& R, const cv::Mat& t, const std::string& name);

// Axes of 500 posed at (R, t) and always a label facing the viewer at t (an
// empty name gives an empty label).
void drawLabeledFrame(vtkRenderer* renderer, const cv::Mat& R, const cv::Mat& t, const std::string& name);

// Axes of 500 and the letters X, Y, Z as parts of the given assembly.
void buildSensorAxes(vtkAssembly* assembly);

// The geometry that the axes and letters of every sensor have in common: one
// mapper for the axes and one for each letter, built by the first
// buildSensorAxes that is given it. Sensors that share it look the same as
// with their own, and a scene of many sensors builds and renders faster.
struct SensorAxesGeometry {
    vtkSmartPointer<vtkPolyDataMapper> axes;
    std::array<vtkSmartPointer<vtkPolyDataMapper>, 3> letters;
};

// As buildSensorAxes, drawing with the shared geometry (filled on first
// use); the four actors are the assembly's own.
void buildSensorAxes(vtkAssembly* assembly, SensorAxesGeometry& shared);

// A sensor's name label facing the viewer, at (-50, 0, -50). Nothing for an
// empty name. Reuses text and follower when set, creates them otherwise, and
// adds the follower to the renderer.
void addSensorLabel(vtkRenderer* renderer, vtkSmartPointer<vtkVectorText>& text,
                    vtkSmartPointer<vtkFollower>& follower, const std::string& name);

// True when K is a finite 3x3 matrix with positive fx and fy and the image
// size is positive: only then can a frustum or an image plane be built.
bool canBuildFrustum(const cv::Mat& K, const cv::Size& imgSize);

// Viewing frustum of a camera in its own frame: apex at the origin, the four
// image corners at depth (fx scales x, fy scales y), four translucent side
// faces with white edges. Fills the caller's actor (created when empty); adds
// nothing to a renderer. Returns false and leaves the actor untouched when
// canBuildFrustum(K, imgSize) fails or depth is not positive.
bool buildFrustum(vtkSmartPointer<vtkActor>& frustum, const cv::Mat& K, const cv::Size& imgSize,
                  double depth);

// As buildFrustum, but fx scales both axes. The new actor is added to the
// renderer and returned, with a fixed name label near the origin unless name
// is empty. Returns an empty pointer and adds nothing when K, the image size or
// the depth cannot give a frustum.
vtkSmartPointer<vtkActor> drawFrustum(vtkRenderer* renderer, const cv::Mat& K, const cv::Size& imgSize,
                                      double depth, const std::string& name);

// The image as a textured plane at depth 1000 in the camera's frame (fx scales
// both axes) with its frustum, as one assembly; then a fixed name label; then
// the renderer's camera is reset. The image is 8-bit with 1 (grey), 3 (BGR) or
// 4 (BGRA) channels; other images, or a K that cannot give a frustum, add
// nothing.
void drawImagePlane(vtkRenderer* renderer, const cv::Mat& image, const cv::Mat& K, const std::string& name);

// A fixed name label (scale 60, y mirrored, at (10, -40, 10)) added to the
// renderer; text and actor are created and handed back.
void addNameLabel(vtkRenderer* renderer, vtkSmartPointer<vtkVectorText>& text,
                  vtkSmartPointer<vtkActor>& actor, const std::string& name);

// A chessboard target posed by rvec, tvec (board to scene, as OpenCV's pose
// estimation returns them): a translucent plane of patternSize x squareSize
// millimetres (square sizes need not be whole millimetres) and two axis lines half way along its first edges.
// With invert the pose is used the other way round (x_scene = R^T (x_board - tvec)).
void drawTarget(vtkRenderer* renderer, const cv::Mat& rvec, const cv::Mat& tvec, const cv::Size& patternSize,
                const cv::Size2d& squareSize, const cv::Point3d& colour, bool invert);

// The same target as parts of the given assembly, with the axis lines along
// the full edges; the assembly is then added to the renderer.
void drawTargetAssembly(vtkRenderer* renderer, vtkAssembly* assembly, const cv::Mat& rvec,
                        const cv::Mat& tvec, const cv::Size& patternSize, const cv::Size2d& squareSize,
                        const cv::Point3d& colour, bool invert);
