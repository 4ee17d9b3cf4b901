// Process entry: keeps the display awake for the life of the process, makes
// the main window and runs the event loop. There is no command line.
#include <QApplication>

#include "app/app_delegate.h"
#include "app/view_controller.h"

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("NDITabrivo"));
    QApplication app(argc, argv);
    // Refused or absent, the program runs on without it.
    preventDisplaySleep();
    AppDelegate delegate(app);
    // Kept for the life of the process: the frame clock reaches it to the end.
    auto* controller = new ViewController;
    controller->awakeFromNib();
    controller->viewDidLoad();
    return app.exec();
}
