#pragma once

// Reading back what the 3D scene holds.

#include <gtest/gtest.h>

#include <vtkAssembly.h>
#include <vtkCamera.h>
#include <vtkProp.h>
#include <vtkProp3D.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkRenderer.h>

#include <array>
#include <vector>

namespace testing_support {

// The props the renderer shows, in the order they were added.
inline std::vector<vtkProp*> props(vtkRenderer* renderer)
{
    std::vector<vtkProp*> out;
    vtkPropCollection* c = renderer->GetViewProps();
    c->InitTraversal();
    while (vtkProp* p = c->GetNextProp())
        out.push_back(p);
    return out;
}

// The parts of an assembly, in the order they were added.
inline std::vector<vtkProp3D*> parts(vtkAssembly* assembly)
{
    std::vector<vtkProp3D*> out;
    vtkProp3DCollection* c = assembly->GetParts();
    c->InitTraversal();
    while (vtkProp3D* p = c->GetNextProp3D())
        out.push_back(p);
    return out;
}

// What a 3D view shows: the bounds of its visible props (x, y, z ranges) and
// where its camera stands and looks.
struct SceneView {
    std::array<double, 6> bounds{};
    std::array<double, 3> position{}, focalPoint{}, viewUp{};

    explicit SceneView(vtkRenderer* renderer)
    {
        renderer->ComputeVisiblePropBounds(bounds.data());
        vtkCamera* camera = renderer->GetActiveCamera();
        camera->GetPosition(position.data());
        camera->GetFocalPoint(focalPoint.data());
        camera->GetViewUp(viewUp.data());
    }
    // The same props in the same places, seen from the same point.
    void expectSameAs(const SceneView& before) const
    {
        EXPECT_EQ(bounds, before.bounds);
        EXPECT_EQ(position, before.position);
        EXPECT_EQ(focalPoint, before.focalPoint);
        EXPECT_EQ(viewUp, before.viewUp);
    }
};

} // namespace testing_support
