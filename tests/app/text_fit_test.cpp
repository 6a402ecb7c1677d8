// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/about_dlg.h"
#include "app/manual.h"
#include "common/eliding_label.h"
#include "main_window_fixture.h"
#include "options/muxer_dlg.h"
#include "options/options_dlg.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QStyle>
#include <QStyleOptionComboBox>

#include <string>
#include <vector>

namespace vistrel {
namespace {

// Every control of `window` whose text is wider than the control, as
// "<window>: <control> '<text>' needs N pixels, has M". Labels and buttons
// are measured with their own size hint (text, margins, indicator), a
// wrapping label by the height its text needs, a drop-down list by each of
// its items against its text field; controls that elide their text fit.
std::vector<std::string> Overflows(QWidget& window)
{
    std::vector<std::string> found;
    const auto report = [&](const QWidget* control, const QString& text, int needs, int has) {
        found.push_back(QStringLiteral("%1: %2 '%3' needs %4 pixels, has %5")
                            .arg(window.windowTitle(), QString::fromLatin1(control->metaObject()->className()), text)
                            .arg(needs)
                            .arg(has)
                            .toStdString());
    };
    for (QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisibleTo(&window) || control->property(kElidesTextProperty).toBool())
            continue;
        if (auto* label = qobject_cast<QLabel*>(control)) {
            if (label->text().isEmpty() || label->textFormat() == Qt::RichText)
                continue;
            if (label->wordWrap()) {
                const int needs = label->heightForWidth(label->width());
                if (needs > label->height())
                    report(label, label->text(), needs, label->height());
            } else if (label->sizeHint().width() > label->width()) {
                report(label, label->text(), label->sizeHint().width(), label->width());
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            if (!button->text().isEmpty() && button->sizeHint().width() > button->width())
                report(button, button->text(), button->sizeHint().width(), button->width());
        } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
            const int needs = group->fontMetrics().horizontalAdvance(group->title()) + 2 * group->fontMetrics().height();
            if (needs > group->width())
                report(group, group->title(), needs, group->width());
        } else if (auto* list = qobject_cast<QComboBox*>(control)) {
            QStyleOptionComboBox option;
            option.initFrom(list);
            option.editable = list->isEditable();
            option.frame = list->hasFrame();
            option.subControls = QStyle::SC_All;
            const int has = list->style()
                                ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list)
                                .width();
            for (int i = 0; i < list->count(); ++i) {
                const int needs = list->fontMetrics().horizontalAdvance(list->itemText(i));
                if (needs > has)
                    report(list, list->itemText(i), needs, has);
            }
        }
    }
    return found;
}

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// Opens every window and dialog of the program offscreen, in the font in use,
// with the longest texts the recorder writes into them.
class TextFit : public test::MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        desktopOpens = false;
        window = makeWindow();
        ASSERT_TRUE(window->OnInitDialog());
        window->show();
    }

    std::unique_ptr<CMainDlg> window;
};

TEST_F(TextFit, EveryWindowAndDialogShowsItsTextsWhole)
{
    // The main window in each view, with the recorder's longest texts.
    for (int camera = 0; camera < kCameraCount; ++camera) {
        test::LabelOf(*window, camera, Label::FrameRate)->setText("Frame Rate [25.00 FPS] [0.04 Delta]");
        test::LabelOf(*window, camera, Label::Forecast)->setText("Forecast Disk Usage: 1234.56 MB, Used so far: 987.65 MB");
        test::MeterOf(*window, camera, Meter::Motion)->SetWindowText("Motion Detection Meter: 128");
        test::MeterOf(*window, camera, Meter::Archive)->SetWindowText("Reading Archive 100 of 300");
    }
    for (int view : {1, 4, 6, 8}) {
        window->LayoutPanes(view, 0);
        EXPECT_EQ(Join(Overflows(*window)), "") << "view " << view;
    }

    // The setup window running, so that its input list is filled.
    CModelessDlg& setup = *test::SetupWindow();
    setup.Initialize(0, "1920x1080 32 bit", 0);
    ASSERT_TRUE(setup.IsRunning());
    ASSERT_GT(test::InputList(setup)->count(), 1);
    setup.ShowSetupWindow();
    EXPECT_EQ(Join(Overflows(setup)), "");

    COptionsDlg options(*window, settings, 0, window.get());
    options.show();
    EXPECT_EQ(Join(Overflows(options)), "");

    CMuxerDlg muxer(*window, settings, window.get());
    muxer.show();
    ASSERT_TRUE(muxer.isVisible()) << "the multiplexer refused to open";
    EXPECT_EQ(Join(Overflows(muxer)), "");

    CAboutDlg about({}, "/usr/local/share/doc/vistrel/vistrel.mht", window.get());
    about.show();
    EXPECT_EQ(Join(Overflows(about)), "");
}

} // namespace
} // namespace vistrel
