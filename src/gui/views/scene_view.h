#pragma once

// The 3D view of the main window and of the chessboard dialogs, set up in
// one place: a renderer with the blue-to-white gradient background in a new
// render window of the widget, the camera rolled by 180 degrees and placed at
// (0, 0, -5000), looking along the scene's z axis.

#include <vtkSmartPointer.h>

class QVTKOpenGLNativeWidget;
class vtkRenderer;

// The view as described above, without any actor.
vtkSmartPointer<vtkRenderer> setupSceneView(QVTKOpenGLNativeWidget* widget);

// A dialog's view: setupSceneView and the world axes.
vtkSmartPointer<vtkRenderer> setupChessboardSceneView(QVTKOpenGLNativeWidget* widget);

// Renders the widget's window when it is on screen (it renders itself when
// it is shown).
void renderSceneView(QVTKOpenGLNativeWidget* widget);
