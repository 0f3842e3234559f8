// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MIDIDeviceSettingsView.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include "ui/NeonControls.hpp"
#include "ui/NetworkMIDISettingsView.hpp"
#include "ui/Theme.hpp"
#include "usb/VLUSBPresentationSettings.hpp"

namespace velorin {

namespace {

constexpr const char* kFC200Title = "Show FC-200 Morph";
constexpr const char* kFC200Help = "When on, the FC-200 SysEx morph appears in Morphs.";
constexpr const char* kAdditionalPortsTitle = "Add Additional Velorin Server Ports";
constexpr const char* kAdditionalPortsHelp =
    "Enables Velorin Server ports 2 and 3 together. Port 1 stays available.";
constexpr const char* kStartAtLoginTitle = "Start at Login";
constexpr const char* kStartAtLoginHelp =
    "Starts Velorin Server with its window hidden when you log in to the desktop.";

QString qText(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A titled, scrollable column of switches; returns the layout they go in.
QVBoxLayout* scrollingGroup(const QString& title, QBoxLayout& parentLayout, QWidget* parent) {
    auto* group = new TitledGroupBox(title, parent);
    auto* scroll = new QScrollArea(group);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(scroll);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 6, 0);
    layout->setSpacing(4);
    layout->addStretch(1);
    scroll->setWidget(content);
    group->contentLayout().addWidget(scroll, 1);
    parentLayout.addWidget(group, 1);
    return layout;
}

NeonToggle* optionToggle(const char* title, const char* help, QWidget* parent) {
    auto* toggle = new NeonToggle(QString::fromUtf8(title), QString::fromUtf8(help), parent);
    toggle->setToolTip(QString::fromUtf8(help));
    return toggle;
}

}  // namespace

MIDIDeviceSettingsView::MIDIDeviceSettingsView(const MIDIEngineStateChannel& engine,
                                               const MIDIEngineCommands& commands,
                                               std::function<void()> close, StartAtLoginOption startAtLogin,
                                               QWidget* parent, NetworkMIDIOption network)
    : QWidget(parent),
      engine_(engine),
      commands_(commands),
      closeAction_(std::move(close)),
      startAtLoginOption_(std::move(startAtLogin)) {
    setObjectName(QStringLiteral("settingsSheet"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(48, 36, 48, 36);
    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("settingsPanel"));
    panel->setAutoFillBackground(true);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, theme::surface);
    panel->setPalette(palette);
    panel->setFrameShape(QFrame::Box);
    outer->addWidget(panel);

    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(14);
    auto* top = new QHBoxLayout();
    title_ = new QLabel(QStringLiteral("SETTINGS"), panel);
    title_->setFont(theme::monospacedFont(14, true));
    top->addWidget(title_);
    top->addStretch(1);
    close_ = new NeonButton(QStringLiteral("Close"), panel);
    close_->setFixedWidth(72);
    top->addWidget(close_);
    layout->addLayout(top);

    auto* lists = new QHBoxLayout();
    lists->setSpacing(20);
    inputs_.layout = scrollingGroup(QStringLiteral("MIDI Inputs"), *lists, panel);
    outputs_.layout = scrollingGroup(QStringLiteral("MIDI Outputs"), *lists, panel);
    layout->addLayout(lists, 1);

    auto* other = new TitledGroupBox(QStringLiteral("Other Settings"), panel);
    usbDevices_ =
        optionToggle(VLUSBPresentationSettings::kTitle, VLUSBPresentationSettings::kHelpText, other);
    fc200_ = optionToggle(kFC200Title, kFC200Help, other);
    additionalPorts_ = optionToggle(kAdditionalPortsTitle, kAdditionalPortsHelp, other);
    for (NeonToggle* toggle : {usbDevices_, fc200_, additionalPorts_})
        other->contentLayout().addWidget(toggle);
    if (startAtLoginOption_.isEnabled && startAtLoginOption_.setEnabled) {
        startAtLogin_ = optionToggle(kStartAtLoginTitle, kStartAtLoginHelp, other);
        other->contentLayout().addWidget(startAtLogin_);
        // Not the engine's: changed here, on this thread, and shown as it came out.
        connect(startAtLogin_, &QAbstractButton::clicked, this, [this](bool on) {
            startAtLoginOption_.setEnabled(on);
            startAtLogin_->setChecked(startAtLoginOption_.isEnabled());
        });
    }
    layout->addWidget(other);
    if (network.status != nullptr) {
        network_ = new NetworkMIDISettingsView(*network.status, std::move(network.commands), panel);
        layout->addWidget(network_);
    }

    connect(close_, &QPushButton::clicked, this, [this] {
        if (closeAction_) closeAction_();
    });
    // Each switch posts the change; the engine's next snapshot, which follows
    // every command, shows what came of it (adding ports can fail, and then
    // the switch goes back).
    connect(usbDevices_, &QAbstractButton::clicked, this,
            [this](bool on) { commands_.setShowsIndividualUSBDevices(on); });
    connect(fc200_, &QAbstractButton::clicked, this, [this](bool on) { commands_.setShowsFC200Morph(on); });
    connect(additionalPorts_, &QAbstractButton::clicked, this,
            [this](bool on) { commands_.setAdditionalVirtualPortsEnabled(on); });

    engineSubscription_ = engine_.observe([this] {
        if (isVisible()) refresh();
    });
    refresh();
}

MIDIDeviceSettingsView::~MIDIDeviceSettingsView() = default;

std::vector<NeonToggle*> MIDIDeviceSettingsView::inputToggles() const {
    return inputs_.toggles;
}

std::vector<NeonToggle*> MIDIDeviceSettingsView::outputToggles() const {
    return outputs_.toggles;
}

void MIDIDeviceSettingsView::rebuild(EndpointList& list, const std::vector<MIDIRoutingEndpoint>& endpoints,
                                     const RoutingKeySet& unavailable, bool isInput) {
    if (endpoints != list.shown) {
        // Later, not now: the switch being clicked may be among them.
        for (NeonToggle* toggle : list.toggles) {
            toggle->hide();
            list.layout->removeWidget(toggle);
            toggle->deleteLater();
        }
        list.toggles.clear();
        QWidget* content = list.layout->parentWidget();
        for (const auto& endpoint : endpoints) {
            auto* toggle = new NeonToggle(qText(endpoint.title), qText(endpoint.detail), content);
            const std::string key = endpoint.id;
            connect(toggle, &QAbstractButton::clicked, this, [this, key, isInput](bool on) {
                if (isInput) {
                    commands_.setInputAvailable(on, key);
                } else {
                    commands_.setOutputAvailable(on, key);
                }
            });
            // Before the closing stretch.
            list.layout->insertWidget(list.layout->count() - 1, toggle);
            list.toggles.push_back(toggle);
        }
        list.shown = endpoints;
    }
    for (std::size_t i = 0; i < list.toggles.size(); ++i) {
        list.toggles[i]->setChecked(!unavailable.contains(list.shown[i].id));
    }
}

void MIDIDeviceSettingsView::refresh() {
    const std::shared_ptr<const MIDIEngineSnapshot> engine = engine_.latest();
    rebuild(inputs_, engine->externalInputs, engine->availability.unavailableInputEndpointKeys, true);
    rebuild(outputs_, engine->externalOutputs, engine->availability.unavailableOutputEndpointKeys, false);
    usbDevices_->setChecked(engine->showsIndividualUSBDevices);
    fc200_->setChecked(engine->showsFC200Morph);
    additionalPorts_->setChecked(engine->additionalPortsActive);
    if (startAtLogin_ != nullptr) startAtLogin_->setChecked(startAtLoginOption_.isEnabled());
}

void MIDIDeviceSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
}

void MIDIDeviceSettingsView::paintEvent(QPaintEvent* /*event*/) {
    // A dimmed backdrop over the window content around the panel.
    QPainter painter(this);
    QColor backdrop = theme::background;
    backdrop.setAlphaF(0.85F);
    painter.fillRect(rect(), backdrop);
}

}  // namespace velorin
