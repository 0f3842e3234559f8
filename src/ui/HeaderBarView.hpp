#pragma once

#include <QWidget>

class QHBoxLayout;
class QLabel;

namespace velorin {

// The window's header bar: the title "VELORIN SERVER" and, in the beta lane,
// the "BETA" chit. The Link controls, activity indicators and global actions
// join it on the right (`trailingLayout()`).
class HeaderBarView final : public QWidget {
    Q_OBJECT
public:
    explicit HeaderBarView(bool isBetaLane, QWidget* parent = nullptr);

    QLabel& titleLabel() const { return *title_; }
    // Null outside the beta lane.
    QLabel* betaChit() const { return betaChit_; }
    QHBoxLayout& trailingLayout() const { return *trailing_; }

private:
    QLabel* title_ = nullptr;
    QLabel* betaChit_ = nullptr;
    QHBoxLayout* trailing_ = nullptr;
};

}  // namespace velorin
