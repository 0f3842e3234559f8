// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MorphSheetHost.hpp"

#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>

#include "ui/NeonControls.hpp"
#include "ui/OctaveLayerSettingsView.hpp"
#include "ui/Theme.hpp"
#include "ui/VelorinSysExReferenceView.hpp"

namespace velorin {

namespace {
constexpr int kMargin = 24;
constexpr int kMaxPanelWidth = 660;
constexpr int kSettingsPanelWidth = 480;
}  // namespace

MorphSheetHost::MorphSheetHost(const MIDIEngineStateChannel& engine, const MIDIEngineCommands& commands,
                               QWidget* covered)
    : QWidget(covered), engine_(engine), commands_(commands) {
    setObjectName(QStringLiteral("morphSheetHost"));
    panel_ = new QFrame(this);
    panel_->setObjectName(QStringLiteral("morphSheetPanel"));
    panel_->setStyleSheet(QStringLiteral("#morphSheetPanel { background-color: %1; border: 1px solid %2; "
                                         "border-radius: 8px; }")
                              .arg(theme::surface.name(), theme::separator.name()));
    panelLayout_ = new QVBoxLayout(panel_);
    panelLayout_->setContentsMargins(1, 1, 1, 1);
    if (covered) {
        covered->installEventFilter(this);
        setGeometry(covered->rect());
    }
    hide();
    subscription_ = engine_.observe([this] { sync(); });
    sync();
}

MorphSheetHost::~MorphSheetHost() = default;

void MorphSheetHost::sync() {
    const std::shared_ptr<const MIDIEngineSnapshot> engine = engine_.latest();
    const std::optional<MorphUIRoute> route = engine->presentedMorphUI;
    if (octaveLayer_) octaveLayer_->showLayers(engine->octaveLayersEnabled);
    if (route == route_) return;
    route_ = route;
    if (sheet_) {
        sheet_->hide();
        sheet_->deleteLater();  // its Close button may be the sender
        sheet_ = nullptr;
        octaveLayer_ = nullptr;
        linkLooper_ = nullptr;
    }
    if (!route_) {
        hide();
        return;
    }
    auto dismiss = [this] { commands_.dismissMorphUI(); };
    if (*route_ == MorphUIRoute::octaveLayer) {
        octaveLayer_ = new OctaveLayerSettingsView(commands_.setOctaveLayerEnabled, dismiss, panel_);
        octaveLayer_->showLayers(engine->octaveLayersEnabled);
        connect(octaveLayer_, &OctaveLayerSettingsView::sysExReferencePresentedChanged, this,
                [this] { layoutPanel(); });
        sheet_ = octaveLayer_;
    } else {
        linkLooper_ = new LinkLooperSysExReferenceView(dismiss, panel_);
        sheet_ = linkLooper_;
    }
    panelLayout_->addWidget(sheet_);
    if (parentWidget()) setGeometry(parentWidget()->rect());
    layoutPanel();
    show();
    raise();
    if (octaveLayer_) {
        octaveLayer_->closeButton().setFocus();
    } else if (linkLooper_) {
        linkLooper_->closeButton().setFocus();
    }
}

// The settings panel is as tall as its contents; the reference sheets take the
// height there is and scroll.
void MorphSheetHost::layoutPanel() {
    if (!sheet_) return;
    const int availableWidth = std::max(0, width() - 2 * kMargin);
    const int availableHeight = std::max(0, height() - 2 * kMargin);
    const bool compact = octaveLayer_ && !octaveLayer_->isSysExReferencePresented();
    const int panelWidth = std::min(compact ? kSettingsPanelWidth : kMaxPanelWidth, availableWidth);
    const int panelHeight =
        compact ? std::min(panel_->sizeHint().height(), availableHeight) : availableHeight;
    panel_->setGeometry((width() - panelWidth) / 2, (height() - panelHeight) / 2, panelWidth, panelHeight);
}

bool MorphSheetHost::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        setGeometry(parentWidget()->rect());
        layoutPanel();
    }
    return QWidget::eventFilter(watched, event);
}

void MorphSheetHost::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    QColor backdrop = theme::background.darker(200);
    backdrop.setAlphaF(0.78F);
    painter.fillRect(rect(), backdrop);
}

// Clicks on the backdrop go nowhere: the content below stays out of reach.
void MorphSheetHost::mousePressEvent(QMouseEvent* event) {
    event->accept();
}

void MorphSheetHost::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && route_) {
        if (octaveLayer_ && octaveLayer_->isSysExReferencePresented()) {
            octaveLayer_->setSysExReferencePresented(false);
        } else {
            commands_.dismissMorphUI();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

// Tab and Backtab cycle through the sheet's own controls only.
bool MorphSheetHost::focusNextPrevChild(bool next) {
    if (!sheet_) return QWidget::focusNextPrevChild(next);
    std::vector<QWidget*> chain;
    for (QWidget* widget : sheet_->findChildren<QWidget*>()) {
        if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->isVisibleTo(sheet_) &&
            widget->isEnabled()) {
            chain.push_back(widget);
        }
    }
    if (chain.empty()) return true;
    const auto current = std::find(chain.begin(), chain.end(), focusWidget());
    std::size_t index = 0;
    if (current != chain.end()) {
        const auto position = static_cast<std::size_t>(current - chain.begin());
        index = next ? (position + 1) % chain.size() : (position + chain.size() - 1) % chain.size();
    }
    chain[index]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

}  // namespace velorin
