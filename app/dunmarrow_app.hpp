// The program: one Qt application showing one window whose content is ContentView. Nothing is
// read at start and nothing is saved at the end. A ZIP file named on the command line (as the
// desktop passes it) is opened for a restore. SIGTERM and SIGINT close the window as the
// window manager does: a running job is cancelled and waited for first.
#pragma once

#include <QApplication>
#include <QSocketNotifier>

#include "app/commands/termination_signals.hpp"
#include "app/window/main_window.hpp"
#include "app/window/qt_user_interface.hpp"

namespace dunmarrow {

class DunmarrowApp {
public:
    DunmarrowApp(int& argc, char** argv);

    // Shows the window and runs the event loop until the window is closed.
    int exec();

private:
    QApplication application_;
    TerminationSignals signals_;
    QSocketNotifier signalNotifier_;
    QtUserInterface userInterface_;
    MainWindow window_;
};

}  // namespace dunmarrow
