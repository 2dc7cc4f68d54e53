#pragma once

// Reading back what the 3D scene holds.

#include <vtkAssembly.h>
#include <vtkProp.h>
#include <vtkProp3D.h>
#include <vtkProp3DCollection.h>
#include <vtkPropCollection.h>
#include <vtkRenderer.h>

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

} // namespace testing_support
