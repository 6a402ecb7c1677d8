// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/font_color_dlg.h"

#include "common/recorder_display.h"

#include <gtest/gtest.h>

#include <QFontDialog>
#include <QFontInfo>
#include <QLineEdit>
#include <QTest>

#include <cstring>

namespace vistrel {
namespace {

// The picker opens on the stored font even when its face is not installed
// (then on the face the overlay is drawn with), keeps the record as it was
// when nothing is changed, and Escape cancels it as a whole.
TEST(FontColorDialogTest, OpensOnTheStoredFontAndEscapeCancelsIt)
{
    const LOGFONTA stored = DefaultOverlayFont(); // bold Verdana, 13 pixels a cell
    FontColorDialog dialog(stored, Rgb(1, 2, 3));
    dialog.show();
    auto* fonts = dialog.findChild<QFontDialog*>();
    ASSERT_NE(fonts, nullptr);
    const QFont drawn = ToQFont(stored);
    const QFont shown = fonts->currentFont();
    EXPECT_EQ(shown.family(), QFontInfo(drawn).family());
    EXPECT_EQ(shown.weight(), QFont::Bold);
    EXPECT_NEAR(shown.pointSizeF(), drawn.pixelSize() * 72.0 / 96.0, 0.5);
    EXPECT_EQ(dialog.Choice().font, stored);
    EXPECT_EQ(dialog.Choice().textColor, Rgb(1, 2, 3));

    fonts->setCurrentFont(QFont("DejaVu Serif", 15));
    EXPECT_STREQ(dialog.Choice().font.lfFaceName, "DejaVu Serif");
    EXPECT_EQ(dialog.Choice().font.lfHeight, -20);

    auto* field = fonts->findChild<QLineEdit*>();
    ASSERT_NE(field, nullptr);
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
}

} // namespace
} // namespace vistrel
