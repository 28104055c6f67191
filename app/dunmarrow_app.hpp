// The program: one Qt application showing one window whose content is ContentView. Nothing is
// read at start and nothing is saved at the end.
#pragma once

#include <QApplication>

#include "app/window/content_view.hpp"
#include "app/window/qt_user_interface.hpp"

namespace dunmarrow {

class DunmarrowApp {
public:
    DunmarrowApp(int& argc, char** argv);

    // Shows the window and runs the event loop until the window is closed.
    int exec();

private:
    QApplication application_;
    QtUserInterface userInterface_;
    ContentView contentView_;
};

}  // namespace dunmarrow
