#include "gui/views/scene_view.h"

#include "gui/views/scene_builders.h"

#include <QVTKOpenGLNativeWidget.h>

#include <vtkCamera.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkNew.h>
#include <vtkRenderer.h>

vtkSmartPointer<vtkRenderer> setupSceneView(QVTKOpenGLNativeWidget* widget)
{
    vtkNew<vtkGenericOpenGLRenderWindow> window;
    widget->setRenderWindow(window);
    auto renderer = vtkSmartPointer<vtkRenderer>::New();
    renderer->GradientBackgroundOn();
    renderer->SetBackground(0.13, 0.52, 0.95);
    renderer->SetBackground2(0.95, 0.95, 0.95);
    window->AddRenderer(renderer);
    renderer->ResetCamera();
    vtkCamera* camera = renderer->GetActiveCamera();
    camera->Roll(180);
    camera->SetPosition(0, 0, -5000);
    return renderer;
}

vtkSmartPointer<vtkRenderer> setupChessboardSceneView(QVTKOpenGLNativeWidget* widget)
{
    vtkSmartPointer<vtkRenderer> renderer = setupSceneView(widget);
    drawWorldAxes(renderer, "");
    renderer->ResetCameraClippingRange();
    return renderer;
}

void renderSceneView(QVTKOpenGLNativeWidget* widget)
{
    if (widget && widget->isVisible() && widget->renderWindow())
        widget->renderWindow()->Render();
}
