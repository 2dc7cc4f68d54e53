// main() of the widget tests: one QApplication for the whole program (none
// when only the cases are listed), and a VTK output window that turns every VTK warning or error into a
// failure of the running test.
#include <QApplication>
#include <QSurfaceFormat>
#include <QVTKOpenGLNativeWidget.h>
#include <gtest/gtest.h>
#include <vtkObjectFactory.h>
#include <vtkOutputWindow.h>

namespace {

class FailingVtkOutputWindow : public vtkOutputWindow {
public:
    static FailingVtkOutputWindow* New();
    vtkTypeMacro(FailingVtkOutputWindow, vtkOutputWindow);

    void DisplayErrorText(const char* text) override { ADD_FAILURE() << "VTK error: " << text; }
    void DisplayWarningText(const char* text) override { ADD_FAILURE() << "VTK warning: " << text; }
    void DisplayGenericWarningText(const char* text) override { ADD_FAILURE() << "VTK warning: " << text; }
};
vtkStandardNewMacro(FailingVtkOutputWindow);

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the cases (CTest's discovery) needs no display and no
    // application, which would create its runtime folder.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication app(argc, argv);
    vtkNew<FailingVtkOutputWindow> window;
    vtkOutputWindow::SetInstance(window);
    const int rc = RUN_ALL_TESTS();
    vtkOutputWindow::SetInstance(nullptr);
    return rc;
}
