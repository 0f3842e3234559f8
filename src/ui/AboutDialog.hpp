// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

#include "log/BundleInfo.hpp"

namespace velorin {

// The About panel: name, version with build number, the credits
// "Lane: …\nCommit: …" in a small monospaced font, centred, and the licence
// with the third-party parts the program is built with.
class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    // The licence and the third-party components, as the panel shows them.
    static const char* const kLicenceText;

    explicit AboutDialog(const AboutPanelContent& content, QWidget* parent = nullptr);
};

}  // namespace velorin
