// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPushButton>
#include <QString>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace velorin {

// The window's switch: a 16 × 16 rounded square outlined in the accent colour
// (at 65 % opacity), filled by a 13 × 13 square when on, with its label 10
// pixels to the right and an optional dimmed detail line under the label.
// Checkable; clicking it or pressing space toggles it.
class NeonToggle final : public QAbstractButton {
    Q_OBJECT
public:
    explicit NeonToggle(const QString& label, QWidget* parent = nullptr);
    NeonToggle(const QString& label, const QString& detail, QWidget* parent = nullptr);

    void setAccent(const QColor& accent);
    QColor accent() const { return accent_; }
    const QString& detail() const { return detail_; }
    // Long labels elide in the middle; the full text is the tooltip.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor accent_;
    QString detail_;
};

// The window's button: monospaced caps in the accent colour; "active" draws it
// lit (filled with the accent), for buttons that show an option that is on.
class NeonButton final : public QPushButton {
    Q_OBJECT
public:
    explicit NeonButton(const QString& text, QWidget* parent = nullptr);

    void setAccent(const QColor& accent);
    QColor accent() const { return accent_; }
    void setActive(bool active);
    bool isActive() const { return active_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor accent_;
    bool active_ = false;
};

// A section: a small caps title above its content.
class TitledGroupBox final : public QWidget {
    Q_OBJECT
public:
    explicit TitledGroupBox(const QString& title, QWidget* parent = nullptr);
    QLabel& titleLabel() const { return *title_; }
    QVBoxLayout& contentLayout() const { return *content_; }

private:
    QLabel* title_ = nullptr;
    QVBoxLayout* content_ = nullptr;
};

}  // namespace velorin
