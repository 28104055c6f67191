// The one view of the window: the globe, the archiving button, a divider and the restore button,
// stacked and centred, with a mnemonic on each button. It holds no state; each button starts its
// command.
#pragma once

#include <QWidget>
#include <functional>

class QPushButton;

namespace dunmarrow {

class ContentView : public QWidget {
    Q_OBJECT

public:
    using Action = std::function<void()>;

    ContentView(Action archiveFolderTree, Action restoreFolderTree, QWidget* parent = nullptr);

    QPushButton* archiveButton() const noexcept { return archiveButton_; }
    QPushButton* restoreButton() const noexcept { return restoreButton_; }

private:
    QPushButton* archiveButton_;  // owned by this view, as Qt children are
    QPushButton* restoreButton_;
};

}  // namespace dunmarrow
