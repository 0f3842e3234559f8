#include "ui/HeaderBarView.hpp"

#include <QHBoxLayout>
#include <QLabel>

#include "ui/Theme.hpp"

namespace velorin {

HeaderBarView::HeaderBarView(bool isBetaLane, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("headerBar"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(8);

    title_ = new QLabel(QStringLiteral("VELORIN SERVER"), this);
    title_->setObjectName(QStringLiteral("headerTitle"));
    title_->setFont(theme::monospacedFont(14, true));
    layout->addWidget(title_);

    if (isBetaLane) {
        betaChit_ = new QLabel(QStringLiteral("BETA"), this);
        betaChit_->setObjectName(QStringLiteral("betaChit"));
        betaChit_->setAccessibleName(QStringLiteral("Beta build"));
        betaChit_->setFont(theme::monospacedFont(9, true));
        betaChit_->setContentsMargins(5, 1, 5, 1);
        betaChit_->setStyleSheet(QStringLiteral("color: %1; border: 1px solid %1; border-radius: 3px;")
                                     .arg(theme::betaAccent.name()));
        layout->addWidget(betaChit_, 0, Qt::AlignVCenter);
    }
    layout->addStretch(1);
    trailing_ = new QHBoxLayout();
    trailing_->setSpacing(8);
    layout->addLayout(trailing_);
}

}  // namespace velorin
