#include "ui/MainWindowView.h"

#include <QTabWidget>

#include "ui/ChannelPanel.h"
#include "ui/MainWindow.h"

namespace qvm {

MainWindowView::MainWindowView(MainWindow& window, const TLanguage* language)
    : m_window(window), m_presenter(language, &window) {}

MainWindowView::~MainWindowView() {
    delete m_progress;
}

void MainWindowView::setDeviceText(const QString& text) {
    m_window.setDeviceText(text);
}

void MainWindowView::setLevels(double leftDb, double rightDb) {
    m_window.setLevels(leftDb, rightDb);
}

void MainWindowView::showPlayState(bool playing) {
    m_window.setPlaying(playing);
}

void MainWindowView::setSourceVisible(bool visible) {
    m_window.setSourceVisible(visible);
}

void MainWindowView::setSourceText(const QString& text) {
    m_window.setSourceText(text);
}

void MainWindowView::setSilenceState(bool silence) {
    m_window.setSilenceState(silence);
}

void MainWindowView::setVolumePosition(int position) {
    m_window.setVolumePosition(position);
}

void MainWindowView::setSentTitle(const QString& title) {
    m_window.setSentTitle(title);
}

void MainWindowView::setInteractive(bool interactive) {
    m_window.setInteractive(interactive);
}

IChannelView* MainWindowView::addChannelPage() {
    return m_window.addChannelPage();
}

void MainWindowView::removeLastChannelPage() {
    m_window.removeLastChannelPage();
}

void MainWindowView::labelChannelTabs() {
    m_window.labelChannelTabs();
}

void MainWindowView::showChannelPage(int index) {
    if (index >= 0 && index < m_window.channelPageCount()) {
        m_window.pageControl()->setCurrentIndex(index);
    }
}

void MainWindowView::setStopProgress(int percent) {
    if (m_progress == nullptr) {
        // No buttons: stopping cannot be cancelled half-way.
        m_progress = new QProgressDialog(&m_window);
        m_progress->setCancelButton(nullptr);
        m_progress->setRange(0, 100);
        m_progress->setMinimumDuration(0);
        m_progress->setWindowModality(Qt::WindowModal);
        m_progress->setObjectName(QStringLiteral("DLGStop"));
        m_progress->setWindowTitle(QStringLiteral("Stop the program"));
        m_progress->setLabelText(QStringLiteral("Stop connections"));
        // A child of the main window: its section holds DLGStop and DLGStop.Text.
        m_window.Language_Change();
    }
    m_progress->setValue(percent);
    if (percent >= 100) {
        closeStopProgress();
    }
}

void MainWindowView::closeStopProgress() {
    if (m_progress != nullptr) {
        m_progress->close();
        m_progress->deleteLater();
        m_progress = nullptr;
    }
}

void MainWindowView::setHideToTray(bool hide) {
    m_window.setHideToTray(hide);
}

void MainWindowView::minimizeToTray() {
    m_window.showMinimized();
}

void MainWindowView::Language_Change() {
    m_window.Language_Change();
}

void MainWindowView::translateSkinTexts() {
    m_window.translateSkinTexts();
}

void MainWindowView::applyTitle() {
    m_window.applyTitle();
}

void MainWindowView::shrinkToMainPanel() {
    m_window.shrinkToMainPanel();
}

}  // namespace qvm
