// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

#include "core/Observable.hpp"
#include "core/SnapshotChannel.hpp"
#include "usb/VLUSBStatusSnapshot.hpp"

namespace velorin {

using VLUSBStatusChannel = SnapshotChannel<VLUSBStatusSnapshot>;

// The USB status in the header: "VL USB in Use by Another Server" while the
// service waits for the lease another server holds, otherwise the number of
// connected devices ("1 VL USB Device", "3 VL USB Devices"). Its tooltip,
// lists each connected device with its last ping round trip. It shows the
// service's latest published status; without a USB service "0 VL USB Devices".
class VLUSBStatusView final : public QLabel {
    Q_OBJECT
public:
    // Null without USB.
    explicit VLUSBStatusView(const VLUSBStatusChannel* status, QWidget* parent = nullptr);
    ~VLUSBStatusView() override;

    // The tooltip as it would show now.
    QString deviceSummary() const;

protected:
    bool event(QEvent* event) override;

private:
    void refresh();

    const VLUSBStatusChannel* status_;
    Subscription subscription_;
};

}  // namespace velorin
