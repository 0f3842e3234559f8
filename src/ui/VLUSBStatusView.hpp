#pragma once

#include <QLabel>

#include "core/Observable.hpp"

namespace velorin {

class VLUSBService;

// The USB status in the header: "VL USB in Use by Another Server" while the
// service waits for the lease another server holds, otherwise the number of
// connected devices ("1 VL USB Device", "3 VL USB Devices"). Its tooltip,
// built when asked for, lists each connected device with its last ping round
// trip. Without a USB service it shows "0 VL USB Devices".
class VLUSBStatusView final : public QLabel {
    Q_OBJECT
public:
    explicit VLUSBStatusView(const VLUSBService* service, QWidget* parent = nullptr);
    ~VLUSBStatusView() override;

    // The tooltip as it would show now.
    QString deviceSummary() const;

protected:
    bool event(QEvent* event) override;

private:
    void refresh();

    const VLUSBService* service_;
    Subscription subscription_;
};

}  // namespace velorin
