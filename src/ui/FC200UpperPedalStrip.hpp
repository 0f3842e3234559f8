// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <array>

namespace velorin {

// One upper pedal of the FC-200 strip: its number above a small round
// indicator lit while the pedal's toggle is on.
class FC200UpperPedalCell final : public QWidget {
    Q_OBJECT
public:
    FC200UpperPedalCell(int pedalNumber, QWidget* parent = nullptr);
    void setOn(bool on);
    bool isOn() const { return on_; }
    int pedalNumber() const { return pedalNumber_; }
    QSize sizeHint() const override { return {30, 30}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int pedalNumber_;
    bool on_ = false;
};

// The FC-200 row's strip of pedals 6-10, showing which are latched.
class FC200UpperPedalStrip final : public QWidget {
    Q_OBJECT
public:
    explicit FC200UpperPedalStrip(QWidget* parent = nullptr);

    // Pedals 6 to 10, in that order.
    void showPedals(const std::array<bool, 5>& on);

    // Pedal numbers 6 to 10.
    FC200UpperPedalCell& cell(int pedalNumber) const {
        return *cells_.at(static_cast<std::size_t>(pedalNumber - 6));
    }

private:
    std::array<FC200UpperPedalCell*, 5> cells_{};
};

}  // namespace velorin
