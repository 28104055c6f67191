#include "app/window/content_view.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "app/window/globe_image.hpp"

namespace dunmarrow {
namespace {

TEST(ContentView, StacksTheGlobeTheTwoButtonsAndTheDividerInOrderAtAnySize) {
    int archived = 0;
    int restored = 0;
    ContentView view([&] { ++archived; }, [&] { ++restored; });
    auto* stack = qobject_cast<QVBoxLayout*>(view.layout());
    ASSERT_TRUE(stack != nullptr && stack->count() == 4);
    auto* globe = qobject_cast<GlobeImage*>(stack->itemAt(0)->widget());
    auto* archive = qobject_cast<QPushButton*>(stack->itemAt(1)->widget());
    auto* divider = qobject_cast<QFrame*>(stack->itemAt(2)->widget());
    auto* restore = qobject_cast<QPushButton*>(stack->itemAt(3)->widget());
    ASSERT_TRUE(globe && archive && divider && restore);
    EXPECT_EQ(archive->text(), QStringLiteral("&Archive folder tree"));
    EXPECT_EQ(divider->frameShape(), QFrame::HLine);
    EXPECT_EQ(restore->text(), QStringLiteral("&UnArchive folder tree"));

    view.show();
    for (const QSize size : {QSize(120, 120), QSize(900, 700)}) {
        view.resize(size);
        stack->activate();
        EXPECT_LT(globe->geometry().bottom(), archive->geometry().top());
        EXPECT_LT(archive->geometry().bottom(), divider->geometry().top());
        EXPECT_LT(divider->geometry().bottom(), restore->geometry().top());
    }
    // The globe's centre, where the middle meridian crosses the equator, has the accent colour.
    const QImage image = globe->grab().toImage();
    EXPECT_EQ(image.pixelColor(image.rect().center()), accentColor(globe->palette()));

    archive->click();
    restore->click();
    restore->click();
    EXPECT_EQ(std::pair(archived, restored), std::pair(1, 2));
}

}  // namespace
}  // namespace dunmarrow

// One QApplication for the run, on Qt's offscreen platform unless the environment names another.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
