#include <QApplication>
#include <QIcon>
#include <QSurfaceFormat>
#include <QVTKOpenGLNativeWidget.h>

#include "core/io/version.h"
#include "gui/shell/MainWindow.h"

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());

    QApplication app(argc, argv);
    auto* window = new MainWindow(nullptr);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Tessimo v") + QString::fromLatin1(kTessimoVersion));
    window->setWindowIcon(QIcon(":/icons/Vellant-Icon.ico"));
    window->show();
    return app.exec();
}
