// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "core/Observable.hpp"
#include "engine/MIDIEngineView.hpp"
#include "network/NetworkMIDIView.hpp"

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace velorin {

class NeonButton;
class NeonToggle;
class NetworkMIDISettingsView;

// The network session's part of the sheet; without a status channel the sheet leaves it out.
struct NetworkMIDIOption {
    const NetworkMIDIStatusChannel* status = nullptr;
    NetworkMIDICommands commands;
};

// "Start at Login", which the application keeps outside the settings store
// (an autostart entry). Without both functions the sheet leaves it out.
struct StartAtLoginOption {
    std::function<bool()> isEnabled;
    // Turns it on or off; false when that failed (the switch then shows
    // what isEnabled says).
    std::function<bool(bool)> setEnabled;
};

// The settings sheet: "MIDI Inputs" and "MIDI Outputs", one switch per
// external endpoint that is on while the endpoint is available, and "Other
// Settings" with the USB presentation, the FC-200 morph's visibility, the
// app's additional ports and "Start at Login", and "Network MIDI". It shows the engine's snapshots and posts
// every change as a command; "Close" calls the close action.
class MIDIDeviceSettingsView final : public QWidget {
    Q_OBJECT
public:
    // `engine` and `commands` outlive the view.
    MIDIDeviceSettingsView(const MIDIEngineStateChannel& engine, const MIDIEngineCommands& commands,
                           std::function<void()> close, StartAtLoginOption startAtLogin = {},
                           QWidget* parent = nullptr, NetworkMIDIOption network = {});
    ~MIDIDeviceSettingsView() override;

    QLabel& titleLabel() const { return *title_; }
    NeonButton& closeButton() const { return *close_; }
    // The endpoint switches in list order.
    std::vector<NeonToggle*> inputToggles() const;
    std::vector<NeonToggle*> outputToggles() const;
    NeonToggle& showIndividualUSBDevicesToggle() const { return *usbDevices_; }
    NeonToggle& showFC200MorphToggle() const { return *fc200_; }
    NeonToggle& additionalPortsToggle() const { return *additionalPorts_; }
    // Null when the application keeps no such option.
    NeonToggle* startAtLoginToggle() const { return startAtLogin_; }
    // Null without network MIDI.
    NetworkMIDISettingsView* networkSettings() const { return network_; }

    // Shows the latest snapshot's endpoint lists and switches.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct EndpointList {
        QVBoxLayout* layout = nullptr;
        std::vector<MIDIRoutingEndpoint> shown;
        std::vector<NeonToggle*> toggles;
    };
    void rebuild(EndpointList& list, const std::vector<MIDIRoutingEndpoint>& endpoints,
                 const RoutingKeySet& unavailable, bool isInput);

    const MIDIEngineStateChannel& engine_;
    const MIDIEngineCommands& commands_;
    std::function<void()> closeAction_;
    QLabel* title_ = nullptr;
    NeonButton* close_ = nullptr;
    EndpointList inputs_;
    EndpointList outputs_;
    NeonToggle* usbDevices_ = nullptr;
    NeonToggle* fc200_ = nullptr;
    NeonToggle* additionalPorts_ = nullptr;
    StartAtLoginOption startAtLoginOption_;
    NeonToggle* startAtLogin_ = nullptr;
    NetworkMIDISettingsView* network_ = nullptr;
    Subscription engineSubscription_;
};

}  // namespace velorin
