// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/AboutDialog.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/Theme.hpp"

namespace velorin {

const char* const AboutDialog::kLicenceText =
    "Free software under the GNU General Public License, version 3 or later (GPL-3.0-or-later),\n"
    "without any warranty. See /usr/share/doc/velorin-server/copyright.\n"
    "\n"
    "Built with Ableton Link (GPL-2.0-or-later), asio (BSL-1.0) and JSON for Modern C++ (MIT);\n"
    "uses Qt 6 (LGPL-3.0), ALSA, libplist and libsystemd (LGPL-2.1-or-later).";

AboutDialog::AboutDialog(const AboutPanelContent& content, QWidget* parent) : QDialog(parent) {
    const QString name = QString::fromStdString(content.applicationName);
    setWindowTitle(QStringLiteral("About %1").arg(name));
    setObjectName(QStringLiteral("aboutDialog"));

    auto* nameLabel = new QLabel(name, this);
    QFont nameFont = font();
    nameFont.setBold(true);
    nameFont.setPixelSize(16);
    nameLabel->setFont(nameFont);

    auto* versionLabel = new QLabel(
        QStringLiteral("Version %1 (%2)")
            .arg(QString::fromStdString(content.applicationVersion), QString::fromStdString(content.version)),
        this);
    versionLabel->setObjectName(QStringLiteral("aboutVersion"));

    auto* creditsLabel = new QLabel(QString::fromStdString(content.credits), this);
    creditsLabel->setObjectName(QStringLiteral("aboutCredits"));
    creditsLabel->setFont(theme::monospacedFont(11));
    creditsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* licenceLabel = new QLabel(QString::fromUtf8(kLicenceText), this);
    licenceLabel->setObjectName(QStringLiteral("aboutLicence"));
    licenceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 20, 28, 16);
    layout->setSpacing(8);
    for (auto* label : {nameLabel, versionLabel, creditsLabel, licenceLabel}) {
        label->setAlignment(Qt::AlignHCenter);
        layout->addWidget(label);
    }
    layout->addSpacing(6);
    layout->addWidget(buttons);
}

}  // namespace velorin
