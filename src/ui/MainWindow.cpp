// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/MainWindow.hpp"
#include "ui/MorphSheetHost.hpp"
#include "ui/RoutingSectionView.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QMenuBar>
#include <QShowEvent>
#include <QVBoxLayout>

#include "log/AppFeatureFlags.hpp"
#include "ui/AboutDialog.hpp"
#include "ui/HeaderBarView.hpp"
#include "ui/LogPaneView.hpp"
#include "ui/MIDIDeviceSettingsView.hpp"
#include "ui/Theme.hpp"
#include "ui/WindowChromeStyler.hpp"

namespace velorin {

MainWindow::MainWindow(MainQueue& queue, SettingsStore& settings, std::shared_ptr<LogStore> logStore,
                       Services services, BundleInfoLookup bundleInfo, QWidget* parent)
    : QMainWindow(parent),
      engineCommands_(std::move(services.engineCommands)),
      bundleInfo_(std::move(bundleInfo)) {
    setWindowTitle(QStringLiteral("VELORIN SERVER"));
    setObjectName(QStringLiteral("mainWindow"));

    auto* central = new QWidget(this);
    central->setAutoFillBackground(true);
    QPalette palette = central->palette();
    palette.setColor(QPalette::Window, theme::background);
    central->setPalette(palette);

    const bool isBeta = AppFeatureFlags::currentTarget(bundleInfo_) == AppFeatureFlags::AppTarget::beta;
    header_ = new HeaderBarView(
        isBeta,
        HeaderBarView::Sources{.queue = queue,
                               .link = services.link,
                               .linkCommands = services.linkCommands,
                               .panic = engineCommands_.panic,
                               .logStore = *logStore,
                               .activity = services.activity,
                               .latency = services.latency,
                               .usbStatus = services.usbStatus},
        [this] { openSettings(); }, central);
    logPane_ = new LogPaneView(std::move(logStore), central);

    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(header_);
    auto* rule = new QFrame(central);
    rule->setFrameShape(QFrame::HLine);
    rule->setFixedHeight(1);
    rule->setStyleSheet(QStringLiteral("background-color: %1; border: none;").arg(theme::separator.name()));
    layout->addWidget(rule);
    sections_ = new QVBoxLayout();
    sections_->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(sections_);
    routing_ = new RoutingSectionView(services.engine, engineCommands_, central);
    sections_->addWidget(routing_);
    layout->addWidget(logPane_, 1);
    setCentralWidget(central);
    central_ = central;

    // The sheet lies over the whole content while presented.
    settingsSheet_ = new MIDIDeviceSettingsView(
        services.engine, engineCommands_, [this] { closeSettings(); }, std::move(services.startAtLogin),
        central, NetworkMIDIOption{services.networkStatus, std::move(services.networkCommands)});
    settingsSheet_->hide();
    central->installEventFilter(this);
    // A morph's sheet lies over the content while the engine presents it.
    morphSheets_ = new MorphSheetHost(services.engine, engineCommands_, central);
    // The looper buttons' help follows the transport (the clock publishes within 0.1 s).
    linkSubscription_ = services.link.observe([this, &link = services.link] {
        routing_->setLinkTransportRunning(link.latest()->isTransportRunning());
    });
    routing_->setLinkTransportRunning(services.link.latest()->isTransportRunning());

    auto* appMenu = menuBar()->addMenu(QString::fromStdString(bundleName(bundleInfo_)));
    aboutAction_ = appMenu->addAction(QString::fromStdString(aboutMenuTitle(bundleInfo_)));
    aboutAction_->setMenuRole(QAction::AboutRole);
    connect(aboutAction_, &QAction::triggered, this, &MainWindow::showAboutPanel);
    settingsAction_ = appMenu->addAction(QStringLiteral("Settings\u2026"));
    settingsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settingsAction_->setMenuRole(QAction::PreferencesRole);
    connect(settingsAction_, &QAction::triggered, this, &MainWindow::openSettings);
    appMenu->addSeparator();
    quitAction_ = appMenu->addAction(QStringLiteral("Quit"));
    quitAction_->setShortcut(QKeySequence::Quit);
    quitAction_->setMenuRole(QAction::QuitRole);
    connect(quitAction_, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    chrome_ = new WindowChromeStyler(*this, *central, queue, settings);
    chrome_->restoreSize();
}

MainWindow::~MainWindow() = default;

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (appear_) appear_();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted() && close_) close_();
}

void MainWindow::openSettings() {
    if (isSettingsPresented_ || morphSheets_->isPresenting()) return;
    isSettingsPresented_ = true;
    settingsSheet_->setGeometry(central_->rect());
    settingsSheet_->raise();
    settingsSheet_->show();
}

void MainWindow::closeSettings() {
    if (!isSettingsPresented_) return;
    isSettingsPresented_ = false;
    settingsSheet_->hide();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == central_ && event->type() == QEvent::Resize) settingsSheet_->setGeometry(central_->rect());
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::showAboutPanel() {
    AboutDialog dialog(aboutPanelContent(bundleInfo_), this);
    dialog.exec();
}

}  // namespace velorin
