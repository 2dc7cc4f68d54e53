// main() of the widget tests: one QApplication for the whole program (none
// when only the cases are listed), a VTK output window that turns every VTK warning or error into a
// failure of the running test, and a Qt message handler that does the same for a slot the form could
// not connect by name (a widget renamed in a form silently loses its on_<name>_<signal> slot).
// A program that ends before its cases have finished fails (early_exit.h).
#include "early_exit.h"

#include <QApplication>
#include <QString>
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

QtMessageHandler previousHandler = nullptr;

// Qt reports an on_<object>_<signal> slot without its object or signal only
// as a warning while the form is set up; here it fails the test that built
// the form.
void failOnUnconnectedSlots(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("No matching signal for")))
        ADD_FAILURE() << "Qt: " << message.toStdString();
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the cases (CTest's discovery) needs no display and no
    // application, which would create its runtime folder.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    previousHandler = qInstallMessageHandler(failOnUnconnectedSlots);
    QApplication app(argc, argv);
    vtkNew<FailingVtkOutputWindow> window;
    vtkOutputWindow::SetInstance(window);
    testing_support::failEarlyExits();
    const int rc = RUN_ALL_TESTS();
    testing_support::casesFinished();
    vtkOutputWindow::SetInstance(nullptr);
    return rc;
}
