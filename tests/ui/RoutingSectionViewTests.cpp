// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

#include "engine/EngineTestSupport.hpp"
#include "ui/EndpointAssignmentGroup.hpp"
#include "ui/EngineViewRig.hpp"
#include "ui/FC200UpperPedalStrip.hpp"
#include "ui/LinkLooperInlineStateStrip.hpp"
#include "ui/MorphRoutingRow.hpp"
#include "ui/NeonControls.hpp"
#include "ui/OctaveLayerInlineStateStrip.hpp"
#include "ui/RoutingSectionView.hpp"

using velorin::EndpointAssignmentGroup;
using velorin::MorphRoutingRow;
using velorin::MorphUIRoute;
using velorin::OctaveLayerKind;
using velorin::RoutingInputDelivery;
using velorin::RoutingSectionView;

namespace {

// Where Tab moves focus from `widget`: the next widget in the focus chain that
// takes Tab focus and is shown and enabled.
QWidget* nextTabStop(QWidget* widget) {
    for (QWidget* w = widget->nextInFocusChain(); w != nullptr && w != widget; w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) != 0 && w->isVisible() && w->isEnabled()) return w;
    }
    return nullptr;
}

class RoutingSectionViewTest : public ::testing::Test {
protected:
    velorin::testing::EngineHarness h;
    velorin::MIDIEngine& engine = *h.engine;
    velorin::test::EngineViewRig rig{engine, h.queue};
    RoutingSectionView view{rig.state, rig.commands};

    void settle() { rig.settle(); }

    std::vector<std::string> rowIDs() const {
        std::vector<std::string> ids;
        for (const MorphRoutingRow* row : view.morphRows()) ids.push_back(row->morphID());
        return ids;
    }
    std::vector<QString> titles(const std::vector<EndpointAssignmentGroup*>& groups) const {
        std::vector<QString> out;
        for (const auto* g : groups) out.push_back(g->title());
        return out;
    }
    MorphRoutingRow& row(std::string_view id) const {
        MorphRoutingRow* found = view.morphRow(id);
        EXPECT_NE(found, nullptr) << id;
        return *found;
    }
    void select(std::string_view id) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(4, 4), QPointF(4, 4), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&row(id), &press);
        settle();
    }
};

}  // namespace

TEST_F(RoutingSectionViewTest, ListsTheMorphsInRegistryOrderAndSelectsTheFirstUntilOneIsPicked) {
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"router", "octave-layer", "midi-clock", "link-looper"}));
    EXPECT_EQ(view.selectedMorphKey(), "router");
    EXPECT_TRUE(row("router").isSelected());
    EXPECT_EQ(row("octave-layer").titleLabel().text(), "Octave Layer");
    EXPECT_EQ(row("octave-layer").detailLabel().text(),
              "Adds Note On/Off copies 1-2 octaves above and below.");
    EXPECT_EQ(titles(view.inputGroups()), (std::vector<QString>{"Inputs per Morph"}));
    EXPECT_EQ(titles(view.outputGroups()), (std::vector<QString>{"Outputs per Morph"}));
    EXPECT_FALSE(view.inputPlaceholder().isVisibleTo(&view));

    select("link-looper");
    EXPECT_EQ(view.selectedMorphKey(), "link-looper");
    EXPECT_FALSE(row("router").isSelected());
    EXPECT_EQ(titles(view.inputGroups()),
              (std::vector<QString>{"Inputs per Morph", "Control Inputs per Morph"}));
    EXPECT_EQ(titles(view.outputGroups()),
              (std::vector<QString>{"Outputs per Morph", "Control Outputs per Morph"}));

    // Return selects from the keyboard.
    QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&row("octave-layer"), &key);
    EXPECT_EQ(view.selectedMorphKey(), "octave-layer");
}

TEST_F(RoutingSectionViewTest, FC200RowFollowsShowFC200MorphAndItsSelectionFallsBackToTheFirstMorph) {
    EXPECT_EQ(view.morphRow("fc200-sysex"), nullptr);
    engine.setShowsFC200Morph(true);
    settle();
    EXPECT_EQ(rowIDs().back(), "fc200-sysex");
    view.setSelectedMorphKey("fc200-sysex");
    EXPECT_TRUE(row("fc200-sysex").isSelected());

    engine.setShowsFC200Morph(false);
    settle();
    EXPECT_EQ(rowIDs(), (std::vector<std::string>{"router", "octave-layer", "midi-clock", "link-looper"}));
    EXPECT_EQ(view.selectedMorphKey(), "router");
    EXPECT_EQ(titles(view.inputGroups()), (std::vector<QString>{"Inputs per Morph"}));

    // A selection that stays listed survives the rows being made anew, and a
    // hidden FC-200 is no destination either.
    select("octave-layer");
    engine.setShowsFC200Morph(true);
    settle();
    EXPECT_EQ(view.selectedMorphKey(), "octave-layer");
    EXPECT_TRUE(row("octave-layer").isSelected());
    EXPECT_NE(view.outputGroups().at(0)->toggle("morph:fc200-sysex"), nullptr);
    engine.setShowsFC200Morph(false);
    settle();
    EXPECT_EQ(view.outputGroups().at(0)->toggle("morph:fc200-sysex"), nullptr);
}

TEST(RoutingSectionViewWithoutLooper, ListsNeitherTheLooperRowNorTheLooperAsADestination) {
    velorin::testing::EngineHarness h(/*linkLooper=*/false);
    velorin::test::EngineViewRig rig{*h.engine, h.queue};
    RoutingSectionView view(rig.state, rig.commands);
    std::vector<std::string> ids;
    for (const MorphRoutingRow* row : view.morphRows()) ids.push_back(row->morphID());
    EXPECT_EQ(ids, (std::vector<std::string>{"router", "octave-layer", "midi-clock"}));
    EndpointAssignmentGroup& outputs = *view.outputGroups().at(0);
    EXPECT_NE(outputs.toggle("morph:octave-layer"), nullptr);
    EXPECT_EQ(outputs.toggle("morph:link-looper"), nullptr);
}

TEST_F(RoutingSectionViewTest, FC200ButtonsFlipTheOptionsAndShareIsDisabledWhileToggleIsOff) {
    engine.setShowsFC200Morph(true);
    settle();
    MorphRoutingRow& fc200 = row("fc200-sysex");
    velorin::NeonButton& toggle = *fc200.upperPedalsToggleButton();
    velorin::NeonButton& share = *fc200.shareLowerCCsButton();
    EXPECT_EQ(toggle.text(), "6-10 TOGGLE");
    EXPECT_EQ(share.text(), "SHARE 1-5 CC");
    EXPECT_FALSE(toggle.isActive());
    EXPECT_FALSE(share.isEnabled());
    EXPECT_FALSE(fc200.upperPedalStrip()->isVisibleTo(&fc200));

    share.click();  // disabled: cannot be pressed
    EXPECT_FALSE(engine.fc200Settings()->upperPedalsShareLowerCCs());

    toggle.click();
    settle();
    EXPECT_TRUE(engine.fc200Settings()->togglesUpperPedals());
    EXPECT_TRUE(toggle.isActive());
    EXPECT_TRUE(share.isEnabled());
    EXPECT_TRUE(fc200.upperPedalStrip()->isVisibleTo(&fc200));
    share.click();
    settle();
    EXPECT_TRUE(engine.fc200Settings()->upperPedalsShareLowerCCs());
    EXPECT_TRUE(share.isActive());

    // The strip shows the latched pedals.
    engine.fc200Settings()->setUpperPedalLatched(8, true);
    settle();
    EXPECT_TRUE(fc200.upperPedalStrip()->cell(8).isOn());
    EXPECT_EQ(fc200.upperPedalStrip()->cell(8).accessibleDescription(), "On");
    EXPECT_EQ(fc200.upperPedalStrip()->cell(8).toolTip(), "Pedal 8 on");
    EXPECT_EQ(fc200.upperPedalStrip()->cell(9).toolTip(), "Pedal 9 off");

    // Turning toggling off (through the engine, which resets the latches)
    // disables sharing again, lit as it still is, and hides the strip.
    toggle.click();
    settle();
    EXPECT_FALSE(engine.fc200Settings()->togglesUpperPedals());
    EXPECT_FALSE(share.isEnabled());
    EXPECT_TRUE(share.isActive());
    EXPECT_FALSE(fc200.upperPedalStrip()->isVisibleTo(&fc200));
    EXPECT_FALSE(fc200.upperPedalStrip()->cell(8).isOn());
}

TEST_F(RoutingSectionViewTest, InputAndOutputSwitchesAssignAndUnassignAndFollowTheEngine) {
    EndpointAssignmentGroup& inputs = *view.inputGroups().at(0);
    ASSERT_EQ(inputs.items().size(), 2U);
    EXPECT_EQ(inputs.items()[0].title, "Keys");
    EXPECT_EQ(inputs.items()[0].detail, "External MIDI source");
    velorin::NeonToggle& keys = *inputs.toggle("in-a");
    EXPECT_FALSE(keys.isChecked());

    keys.click();
    settle();
    EXPECT_EQ(engine.routingStore().deliveries("in-a"),
              (std::vector<RoutingInputDelivery>{{"router", "inputs"}}));
    EXPECT_TRUE(keys.isChecked());
    EXPECT_EQ(inputs.toggle("in-a"), &keys) << "updated in place, not rebuilt";
    keys.click();
    settle();
    EXPECT_TRUE(engine.routingStore().deliveries("in-a").empty());
    EXPECT_FALSE(keys.isChecked());

    EndpointAssignmentGroup& outputs = *view.outputGroups().at(0);
    outputs.toggle("out-c")->click();
    settle();
    EXPECT_TRUE(engine.routingStore().outputDestinations("router", "outputs").contains("out-c"));

    // A change made elsewhere shows here; the switches belong to the selected morph.
    engine.setInputAssignment(true, "in-b", "router", "inputs");
    settle();
    EXPECT_TRUE(inputs.toggle("in-b")->isChecked());
    select("octave-layer");
    EXPECT_FALSE(view.inputGroups().at(0)->toggle("in-b")->isChecked());

    // An endpoint switched off in the settings leaves the lists.
    engine.setInputAvailable(false, "in-b");
    settle();
    EXPECT_EQ(view.inputGroups().at(0)->toggle("in-b"), nullptr);
    EXPECT_EQ(view.inputGroups().at(0)->items().size(), 1U);
}

TEST_F(RoutingSectionViewTest, MainOutputGroupOffersOtherMorphsWithABadgeAndDisablesForbiddenChains) {
    EndpointAssignmentGroup& outputs = *view.outputGroups().at(0);
    std::vector<std::string> ids;
    for (const auto& item : outputs.items()) ids.push_back(item.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"out-c", "out-b", "out-a", "morph:octave-layer",
                                             "morph:link-looper"}));
    ASSERT_NE(outputs.badge("morph:octave-layer"), nullptr);
    EXPECT_EQ(outputs.badge("morph:octave-layer")->text(), "Morph destination");
    EXPECT_EQ(outputs.badge("out-a"), nullptr);

    outputs.toggle("morph:octave-layer")->click();
    settle();
    EXPECT_EQ(engine.routingStore().chainTargets("router"), (std::vector<std::string>{"octave-layer"}));
    // The Router already feeds a morph: the Link Looper cannot be picked.
    velorin::NeonToggle& looper = *outputs.toggle("morph:link-looper");
    EXPECT_FALSE(looper.isEnabled());
    looper.click();
    settle();
    EXPECT_EQ(engine.routingStore().chainTargets("router"), (std::vector<std::string>{"octave-layer"}));
    EXPECT_TRUE(outputs.toggle("morph:octave-layer")->isEnabled()) << "the chosen one can be undone";

    // From the Octave Layer, feeding the Router would close a loop.
    select("octave-layer");
    EXPECT_FALSE(view.outputGroups().at(0)->toggle("morph:router")->isEnabled());
    EXPECT_TRUE(view.outputGroups().at(0)->toggle("morph:link-looper")->isEnabled());
    // Control outputs list endpoints only.
    select("link-looper");
    EXPECT_EQ(view.outputGroups().at(1)->items().size(), 3U);
}

TEST_F(RoutingSectionViewTest, OctaveCellsToggleTheLayersAndDescribeTheirState) {
    velorin::OctaveLayerInlineStateStrip& strip = *row("octave-layer").octaveLayerStrip();
    velorin::NeonButton& minusTwo = strip.cell(OctaveLayerKind::minusTwo);
    velorin::NeonButton& plusOne = strip.cell(OctaveLayerKind::plusOne);
    EXPECT_EQ(minusTwo.text(), "-2 OCT");
    EXPECT_FALSE(minusTwo.isActive());
    EXPECT_EQ(minusTwo.accessibleDescription(), "Off");
    EXPECT_EQ(minusTwo.toolTip(), "Turn -2 OCT on");
    EXPECT_TRUE(plusOne.isActive());
    EXPECT_EQ(plusOne.toolTip(), "Turn +1 OCT off");

    minusTwo.click();
    settle();
    EXPECT_TRUE(engine.octaveLayerSettings()->isEnabled(OctaveLayerKind::minusTwo));
    EXPECT_EQ(h.settings.boolListValue("octaveLayerEnabledLayers"),
              (std::vector<bool>{true, false, true, false}));
    EXPECT_TRUE(minusTwo.isActive());
    EXPECT_EQ(minusTwo.accessibleDescription(), "On");
    EXPECT_EQ(minusTwo.toolTip(), "Turn -2 OCT off");

    // A SysEx command reaching the morph lights the cell too.
    engine.setInputAssignment(true, "in-a", "octave-layer", "inputs");
    settle();
    h.play("in-a", {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x02, 0x02, 0x00, 0x00, 0xF7});
    settle();
    EXPECT_FALSE(plusOne.isActive());
}

TEST_F(RoutingSectionViewTest, LooperCellsActThroughTheEngineWithTheirHelpFollowingTheTransport) {
    velorin::LinkLooperInlineStateStrip& strip = *row("link-looper").linkLooperStrip();
    EXPECT_EQ(strip.loopLengthLabel().text(), "Beats: 8");
    EXPECT_EQ(strip.loopLengthLabel().accessibleName(), "Loop length");
    EXPECT_EQ(strip.loopLengthLabel().toolTip(), "Shared loop length set by Velorin SysEx");
    velorin::NeonButton& first = strip.looperButton(0);
    EXPECT_EQ(first.text(), "1");
    EXPECT_EQ(first.accessibleName(), "Looper 1");
    EXPECT_EQ(first.toolTip(), "Start Link transport to turn Looper 1 on");

    // Pressed while the transport is stopped: the engine refuses and says why.
    h.takeLines();
    first.click();
    settle();
    EXPECT_FALSE(first.isActive());
    const auto refused = h.takeLines();
    EXPECT_NE(
        std::find(refused.begin(), refused.end(), "Looper 1 cannot turn ON until Link transport is running"),
        refused.end());

    velorin::NeonButton& mute = strip.muteButton(2);
    EXPECT_EQ(mute.accessibleName(), "Looper 3 mute");
    EXPECT_EQ(mute.accessibleDescription(), "Unmuted");
    EXPECT_EQ(mute.toolTip(), "Mute Looper 3");
    mute.click();
    settle();
    EXPECT_TRUE(engine.linkLooperSettings()->isLooperMuted(2));
    EXPECT_EQ(mute.accessibleDescription(), "Muted");
    EXPECT_EQ(mute.toolTip(), "Unmute Looper 3");

    h.runTransportAt(100);
    view.setLinkTransportRunning(true);
    EXPECT_EQ(first.toolTip(), "Turn Looper 1 on");
    first.click();
    settle();
    EXPECT_TRUE(engine.linkLooperStateStore()->activeLooperIndices().contains(0));
    EXPECT_TRUE(first.isActive());
    EXPECT_EQ(first.accessibleDescription(), "On");
    EXPECT_EQ(first.toolTip(), "Turn Looper 1 off");
    first.click();
    settle();
    EXPECT_FALSE(first.isActive());

    // The length follows the settings (set by SysEx).
    engine.linkLooperSettings()->setLoopLengthBeats(16);
    settle();
    EXPECT_EQ(strip.loopLengthLabel().text(), "Beats: 16");
}

TEST_F(RoutingSectionViewTest, OpenAsksTheEngineToPresentTheMorphsPanel) {
    EXPECT_EQ(row("router").openButton(), nullptr);
    row("link-looper").openButton()->click();
    settle();
    EXPECT_EQ(engine.presentedMorphUI(), MorphUIRoute::linkLooper);
    row("octave-layer").openButton()->click();
    settle();
    EXPECT_EQ(engine.presentedMorphUI(), MorphUIRoute::octaveLayer);
}

TEST(RoutingSectionViewLongLists,
     FiftyEndpointsScrollAndTheirFullNamesAreTooltipsAndTabOrderFollowsTheColumns) {
    velorin::testing::EngineHarness h;
    std::vector<velorin::MIDIInputEndpointRegistration> inputs;
    std::vector<velorin::MIDIOutputEndpointRegistration> outputs;
    for (int i = 0; i < 50; ++i) {
        const std::string n = std::to_string(100 + i);
        inputs.push_back(
            velorin::testing::input("in-" + n, "Rehearsal Room Multiport Interface Port " + n + " In"));
        outputs.push_back(velorin::testing::output("out-" + n, "Out " + n));
    }
    h.engine->setEndpointInventory(std::get<velorin::MIDIEndpointInventory>(
        velorin::MIDIEndpointInventory::make(std::move(inputs), std::move(outputs))));

    // Made first, then placed in a window, as the main window does.
    velorin::test::EngineViewRig rig{*h.engine, h.queue};
    auto* made = new RoutingSectionView(rig.state, rig.commands);
    QWidget window;
    auto* windowLayout = new QVBoxLayout(&window);
    windowLayout->addWidget(made);
    windowLayout->addStretch(1);
    window.resize(1090, 692);
    window.show();
    QApplication::processEvents();
    RoutingSectionView& view = *made;
    EXPECT_EQ(view.height(), RoutingSectionView::kPreferredHeight);

    // Every switch gets its full height, whether made before the view was
    // shown or while it is.
    const auto squashedSwitches = [&view] {
        int squashed = 0;
        for (const auto* groups : {&view.inputGroups(), &view.outputGroups()}) {
            for (const EndpointAssignmentGroup* g : *groups) {
                for (const velorin::NeonToggle* t : g->toggles())
                    squashed += t->height() < t->sizeHint().height();
            }
        }
        return squashed;
    };
    EXPECT_EQ(squashedSwitches(), 0);

    EndpointAssignmentGroup& group = *view.inputGroups().at(0);
    ASSERT_EQ(group.toggles().size(), 50U);
    velorin::NeonToggle& last = *group.toggle("in-149");
    EXPECT_TRUE(last.toolTip().startsWith("Rehearsal Room Multiport Interface Port 149 In"));
    auto* scroll = qobject_cast<QScrollArea*>(group.parentWidget()->parentWidget()->parentWidget());
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
    scroll->ensureWidgetVisible(&last);
    QApplication::processEvents();
    last.click();
    rig.settle();
    EXPECT_EQ(h.engine->routingStore().deliveries("in-149").size(), 1U);

    // After the columns are rebuilt for another morph, Tab still runs morphs,
    // then inputs, then outputs.
    view.setSelectedMorphKey("octave-layer");
    QApplication::processEvents();  // the new switches are shown
    EXPECT_EQ(squashedSwitches(), 0);
    const auto isInputSwitch = [&](QWidget* w) {
        const auto& toggles = view.inputGroups().at(0)->toggles();
        return std::find(toggles.begin(), toggles.end(), w) != toggles.end();
    };
    QWidget* lastMorphControl = &view.morphRow("link-looper")->linkLooperStrip()->muteButton(3);
    EXPECT_EQ(nextTabStop(lastMorphControl), view.inputGroups().at(0)->toggles().front());
    QWidget* lastInput = view.inputGroups().at(0)->toggles().back();
    EXPECT_TRUE(isInputSwitch(lastInput));
    EXPECT_EQ(nextTabStop(lastInput), view.outputGroups().at(0)->toggles().front());

    // Only the input switches are made anew when an input leaves the list.
    h.engine->setInputAvailable(false, "in-100");
    rig.settle();
    QApplication::processEvents();
    ASSERT_EQ(view.inputGroups().at(0)->toggles().size(), 49U);
    EXPECT_EQ(nextTabStop(lastMorphControl), view.inputGroups().at(0)->toggles().front());
    EXPECT_EQ(nextTabStop(view.inputGroups().at(0)->toggles().back()),
              view.outputGroups().at(0)->toggles().front());
}

TEST_F(RoutingSectionViewTest, StripsFollowWhatControllersChangeBySysEx) {
    // Loop length and mute set on the looper's control inputs.
    engine.setInputAssignment(true, "in-b", "link-looper", "control-inputs");
    settle();
    h.play("in-b", {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x7F, 0x03, 0x0F, 0xF7});
    settle();
    h.play("in-b", {0xF0, 0x00, 0x01, 0x7E, 0x01, 0x01, 0x01, 0x02, 0x7F, 0xF7});
    settle();
    velorin::LinkLooperInlineStateStrip& looper = *row("link-looper").linkLooperStrip();
    EXPECT_EQ(looper.loopLengthLabel().text(), "Beats: 16");
    EXPECT_EQ(looper.muteButton(1).accessibleDescription(), "Muted");
    EXPECT_EQ(looper.muteButton(0).accessibleDescription(), "Unmuted");

    // A toggled FC-200 pedal 6 (control ID 5) lights its cell; pressing it again clears it.
    engine.setShowsFC200Morph(true);
    settle();
    engine.setFC200UpperPedalsToggleEnabled(true);
    settle();
    engine.setInputAssignment(true, "in-a", "fc200-sysex", "inputs");
    settle();
    const velorin::ByteArray pedal6 = {0xF0, 0x41, 0x10, 0x72, 0x12, 0x00, 0x05, 0x7F, 0x7C, 0xF7};
    h.play("in-a", pedal6);
    settle();
    velorin::FC200UpperPedalStrip& pedals = *row("fc200-sysex").upperPedalStrip();
    EXPECT_TRUE(pedals.cell(6).isOn());
    EXPECT_FALSE(pedals.cell(7).isOn());
    h.play("in-a", pedal6);
    settle();
    EXPECT_FALSE(pedals.cell(6).isOn());
}

TEST(EndpointAssignmentGroup, UpdatesSwitchesInPlaceRebuildsOnlyForNewItemsAndReportsTheWantedState) {
    std::vector<std::pair<std::string, bool>> calls;
    EndpointAssignmentGroup group("Outputs per Morph",
                                  [&calls](const std::string& id, bool on) { calls.emplace_back(id, on); });
    using Item = velorin::EndpointAssignmentItem;
    EXPECT_TRUE(group.setItems({Item{"a", "Synth", "External MIDI destination", true, false, false},
                                Item{"morph:x", "X", "Detail", true, true, true}}));
    velorin::NeonToggle* synth = group.toggle("a");
    ASSERT_NE(synth, nullptr);
    EXPECT_EQ(synth->text(), "Synth");
    EXPECT_EQ(synth->detail(), "External MIDI destination");
    EXPECT_TRUE(group.toggle("morph:x")->isChecked());

    synth->click();
    group.toggle("morph:x")->click();
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, bool>>{{"a", true}, {"morph:x", false}}));

    // Same items with new states: the same switches, showing what they are told.
    EXPECT_FALSE(group.setItems({Item{"a", "Synth", "External MIDI destination", true, false, false},
                                 Item{"morph:x", "X", "Detail", false, true, true}}));
    EXPECT_EQ(group.toggle("a"), synth);
    EXPECT_FALSE(synth->isChecked()) << "the click alone does not keep it on";
    EXPECT_FALSE(group.toggle("morph:x")->isEnabled());
    EXPECT_FALSE(group.badge("morph:x")->isEnabled());

    // A renamed endpoint is a new switch.
    EXPECT_TRUE(group.setItems({Item{"a", "Synth 2", "External MIDI destination", true, false, false}}));
    ASSERT_NE(group.toggle("a"), nullptr);
    EXPECT_EQ(group.toggle("a")->text(), "Synth 2");
    EXPECT_EQ(group.toggle("morph:x"), nullptr);
    EXPECT_EQ(group.toggles().size(), 1U);
}
