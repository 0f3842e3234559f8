// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <variant>

#include "engine/EngineTestSupport.hpp"
#include "ui/EngineViewRig.hpp"
#include "ui/MorphSheetHost.hpp"
#include "ui/NeonControls.hpp"
#include "ui/OctaveLayerSettingsView.hpp"
#include "ui/VelorinSysExReferenceView.hpp"

using velorin::MorphSheetHost;
using velorin::MorphUIRoute;
using velorin::OctaveLayerKind;

namespace {

class MorphSheetHostTest : public ::testing::Test {
protected:
    MorphSheetHostTest() {
        content.resize(1090, 692);
        content.show();
    }
    velorin::testing::EngineHarness h;
    velorin::MIDIEngine& engine = *h.engine;
    velorin::test::EngineViewRig rig{engine, h.queue};
    QWidget content;
    MorphSheetHost* host = new MorphSheetHost(rig.state, rig.commands, &content);

    void settle() { rig.settle(); }
    void pressEscape(QWidget* target) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(target, &key);
        settle();
    }
};

QStringList labelTexts(const QWidget& widget) {
    QStringList texts;
    for (const QLabel* label : widget.findChildren<QLabel*>()) texts << label->text();
    return texts;
}

}  // namespace

TEST_F(MorphSheetHostTest, ShowsTheOctaveLayerPanelWhilePresentedAndItsCloseDismissesIt) {
    EXPECT_FALSE(host->isVisible());
    engine.openMorphUI("octave-layer");
    settle();
    ASSERT_TRUE(host->isVisible());
    EXPECT_EQ(host->geometry(), content.rect());
    velorin::OctaveLayerSettingsView* panel = host->octaveLayerSettingsView();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(host->linkLooperSysExReferenceView(), nullptr);
    const QStringList texts = labelTexts(*panel);
    EXPECT_TRUE(texts.contains("OCTAVE LAYER"));
    EXPECT_TRUE(texts.contains("Add octave copies above and below notes"));
    EXPECT_TRUE(texts.contains("Layers"));
    EXPECT_EQ(panel->closeButton().text(), "Close");

    // The switches are bound to the shared settings, both ways.
    velorin::NeonToggle& plusTwo = panel->layerToggle(OctaveLayerKind::plusTwo);
    EXPECT_EQ(plusTwo.text(), "+2 OCT");
    EXPECT_FALSE(plusTwo.isChecked());
    plusTwo.click();
    settle();
    EXPECT_TRUE(engine.octaveLayerSettings()->isEnabled(OctaveLayerKind::plusTwo));
    EXPECT_EQ(plusTwo.accessibleDescription(), "On");
    engine.octaveLayerSettings()->setEnabled(false, OctaveLayerKind::plusOne);
    settle();
    EXPECT_FALSE(panel->layerToggle(OctaveLayerKind::plusOne).isChecked());

    panel->closeButton().click();
    settle();
    EXPECT_EQ(engine.presentedMorphUI(), std::nullopt);
    EXPECT_FALSE(host->isVisible());
    QApplication::processEvents();  // the closed sheet goes
    EXPECT_EQ(host->octaveLayerSettingsView(), nullptr);
}

TEST_F(MorphSheetHostTest, ControlledByVelorinSysExOpensTheReferenceInPlaceUntilItIsClosed) {
    engine.openMorphUI("octave-layer");
    settle();
    velorin::OctaveLayerSettingsView& panel = *host->octaveLayerSettingsView();
    EXPECT_EQ(panel.sysExReferenceRow().text(), "Controlled by Velorin SysEx");
    panel.sysExReferenceRow().click();
    ASSERT_TRUE(panel.isSysExReferencePresented());
    velorin::OctaveLayerSysExReferenceView* reference = panel.sysExReference();
    ASSERT_NE(reference, nullptr);
    EXPECT_TRUE(labelTexts(*reference).contains("OCTAVE LAYER SYSEX"));

    // Escape steps back to the panel first, then dismisses the sheet.
    pressEscape(&reference->closeButton());
    EXPECT_FALSE(panel.isSysExReferencePresented());
    EXPECT_EQ(engine.presentedMorphUI(), MorphUIRoute::octaveLayer);
    panel.sysExReferenceRow().click();
    panel.sysExReference()->closeButton().click();
    settle();
    EXPECT_FALSE(panel.isSysExReferencePresented());
    EXPECT_EQ(engine.presentedMorphUI(), MorphUIRoute::octaveLayer);
    pressEscape(&panel.closeButton());
    EXPECT_EQ(engine.presentedMorphUI(), std::nullopt);
}

TEST_F(MorphSheetHostTest, LinkLooperShowsItsReferenceAndSwitchingMorphsSwapsTheSheet) {
    engine.openMorphUI("link-looper");
    settle();
    velorin::LinkLooperSysExReferenceView* reference = host->linkLooperSysExReferenceView();
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(host->presentedRoute(), MorphUIRoute::linkLooper);
    EXPECT_TRUE(host->panel().geometry().height() > 500) << "the sheet takes the height there is";

    engine.openMorphUI("octave-layer");
    settle();
    EXPECT_EQ(host->linkLooperSysExReferenceView(), nullptr);
    EXPECT_NE(host->octaveLayerSettingsView(), nullptr);

    engine.dismissMorphUI();
    settle();
    EXPECT_FALSE(host->isVisible());

    // The host keeps the size of what it covers.
    engine.openMorphUI("link-looper");
    settle();
    content.resize(1300, 800);
    QApplication::processEvents();
    EXPECT_EQ(host->geometry(), content.rect());
}

TEST_F(MorphSheetHostTest, BackdropKeepsTheContentBelowOutOfReachUntilDismissed) {
    auto* below = new QPushButton(QStringLiteral("Below"), &content);
    below->setGeometry(4, 4, 60, 24);
    below->show();
    below->raise();
    const QPoint corner(10, 10);  // outside the centred panel
    EXPECT_EQ(content.childAt(corner), below);

    engine.openMorphUI("link-looper");
    settle();
    EXPECT_EQ(content.childAt(corner), host);
    EXPECT_FALSE(host->panel().geometry().contains(corner));
    engine.dismissMorphUI();
    settle();
    EXPECT_EQ(content.childAt(corner), below);
}

TEST_F(MorphSheetHostTest, TabCyclesThroughTheSheetsOwnControlsOnly) {
    auto* below = new QPushButton(QStringLiteral("Below"), &content);
    below->show();
    engine.openMorphUI("octave-layer");
    settle();
    velorin::OctaveLayerSettingsView& panel = *host->octaveLayerSettingsView();
    std::vector<QWidget*> visited;
    QWidget* current = &panel.closeButton();
    current->setFocus();
    for (int i = 0; i < 7; ++i) {
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(current, &tab);
        current = content.focusWidget();
        ASSERT_NE(current, nullptr);
        visited.push_back(current);
    }
    // Close, the four switches, the SysEx row, then Close again.
    const std::vector<QWidget*> expected{&panel.layerToggle(OctaveLayerKind::minusTwo),
                                         &panel.layerToggle(OctaveLayerKind::minusOne),
                                         &panel.layerToggle(OctaveLayerKind::plusOne),
                                         &panel.layerToggle(OctaveLayerKind::plusTwo),
                                         &panel.sysExReferenceRow(),
                                         &panel.closeButton(),
                                         &panel.layerToggle(OctaveLayerKind::minusTwo)};
    EXPECT_EQ(visited, expected);
}

TEST(VelorinSysExReferenceSheetView, RowsPutValuesBesideA112ColumnAndIndentDetailsBy120) {
    velorin::OctaveLayerSysExReferenceView sheet([] {});
    sheet.resize(640, 900);
    sheet.show();
    QApplication::processEvents();
    const auto find = [&sheet](const QString& text) -> QLabel& {
        for (QLabel* label : sheet.findChildren<QLabel*>()) {
            if (label->text() == text) return *label;
        }
        ADD_FAILURE() << text.toStdString();
        return *sheet.findChild<QLabel*>();
    };
    const auto x = [&sheet](const QWidget& w) { return w.mapTo(&sheet, QPoint(0, 0)).x(); };
    const auto y = [&sheet](const QWidget& w) { return w.mapTo(&sheet, QPoint(0, 0)).y(); };

    QLabel& label = find("Packet");
    QLabel& value = find("F0 00 01 7E 01 02 TT PP VV F7");
    QLabel& detail = find(QString::fromUtf8(
        "Product 01 \u2022 Octave Layer protocol 02 \u2022 TT target \u2022 PP parameter \u2022 VV value"));
    EXPECT_EQ(label.width(), 112);
    EXPECT_EQ(x(value) - x(label), 120);
    EXPECT_EQ(y(value), y(label));
    EXPECT_EQ(x(detail) - x(label), 120);
    EXPECT_GT(y(detail), y(label));
    EXPECT_TRUE(value.textInteractionFlags() & Qt::TextSelectableByMouse);

    QLabel& name = find("Set layer");
    const auto parameterRow = name.parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(parameterRow.size(), 3);
    QLabel& number = *parameterRow[0];
    QLabel& values = *parameterRow[2];
    EXPECT_EQ(number.text(), "0");
    EXPECT_EQ(number.width(), 20);
    EXPECT_TRUE(number.alignment() & Qt::AlignRight);
    EXPECT_EQ(name.width(), 92);
    EXPECT_EQ(values.text(), QString::fromUtf8("00...3F off \u2022 40...7F on"));
    EXPECT_EQ(y(values), y(name));
    EXPECT_LT(x(number), x(name));
    EXPECT_LT(x(name), x(values));
}

TEST(VelorinSysExReferenceSheetView, EveryCopyButtonCopiesItsOwnExamplesPacket) {
    for (const bool looper : {true, false}) {
        std::unique_ptr<velorin::VelorinSysExReferenceSheetView> sheet;
        if (looper) {
            sheet = std::make_unique<velorin::LinkLooperSysExReferenceView>([] {});
        } else {
            sheet = std::make_unique<velorin::OctaveLayerSysExReferenceView>([] {});
        }
        std::vector<std::string> packets;
        for (const auto& section : sheet->sheet().sections) {
            for (const auto& item : section.items) {
                if (const auto* example = std::get_if<velorin::VelorinSysExExample>(&item)) {
                    packets.push_back(example->packet);
                }
            }
        }
        ASSERT_EQ(sheet->copyButtons().size(), packets.size());
        ASSERT_EQ(packets.size(), looper ? 7U : 5U);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            sheet->copyButtons()[i]->click();
            EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), packets[i]);
        }
    }
}

TEST(VelorinSysExReferenceSheetView, ShowsSectionTitlesUpperCasedAndCopyPutsThePacketOnTheClipboard) {
    int closed = 0;
    velorin::LinkLooperSysExReferenceView sheet([&closed] { ++closed; });
    const QStringList texts = labelTexts(sheet);
    for (const char* expected :
         {"LINK LOOPER SYSEX", "Velorin protocol reference", "PROTOCOL", "TARGETS (TT)",
          "PARAMETERS (PP / VV)", "EXAMPLES", "Looper 4", "Loop length 64 beats"}) {
        EXPECT_TRUE(texts.contains(expected)) << expected;
    }
    ASSERT_EQ(sheet.copyButtons().size(), 7U);
    QGuiApplication::clipboard()->setText("something else");
    sheet.copyButtons().at(2)->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "F0 00 01 7E 01 01 02 01 40 F7");
    sheet.closeButton().click();
    EXPECT_EQ(closed, 1);
}
