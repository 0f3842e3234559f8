#pragma once

#include <QDialog>

#include "log/BundleInfo.hpp"

namespace velorin {

// The About panel: name, version with build number, and the credits
// "Lane: …\nCommit: …" in a small monospaced font, centred.
class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(const AboutPanelContent& content, QWidget* parent = nullptr);
};

}  // namespace velorin
