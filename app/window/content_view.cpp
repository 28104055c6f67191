#include "app/window/content_view.hpp"

#include <QFrame>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "app/window/globe_image.hpp"

namespace dunmarrow {

ContentView::ContentView(Action archiveFolderTree, Action restoreFolderTree, QWidget* parent)
    : QWidget(parent),
      archiveButton_(new QPushButton(tr("&Archive folder tree"), this)),
      restoreButton_(new QPushButton(tr("&UnArchive folder tree"), this)) {
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    // Default spacing and margins; the stack keeps its natural size in the middle of the window.
    auto* stack = new QVBoxLayout(this);
    stack->setAlignment(Qt::AlignCenter);
    stack->addWidget(new GlobeImage(this), 0, Qt::AlignHCenter);
    stack->addWidget(archiveButton_, 0, Qt::AlignHCenter);
    stack->addWidget(divider);
    stack->addWidget(restoreButton_, 0, Qt::AlignHCenter);

    // The window decides how a command runs (its work on a worker thread, the buttons disabled
    // meanwhile); the view only starts it.
    connect(archiveButton_, &QPushButton::clicked, this,
            [action = std::move(archiveFolderTree)] { action(); });
    connect(restoreButton_, &QPushButton::clicked, this,
            [action = std::move(restoreFolderTree)] { action(); });
}

}  // namespace dunmarrow
