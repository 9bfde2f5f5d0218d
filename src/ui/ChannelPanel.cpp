#include "ui/ChannelPanel.h"

#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ui/Icons.h"
#include "ui/LedMeter.h"
#include "ui/MeterFeed.h"

namespace qvm {

namespace {

// Arial where it is installed, else a metric-compatible or narrow face, so the
// counters keep fitting their fixed widths.
QFont DesignFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans Condensed")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QLabel* FramedLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignCenter);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The counter strip; lays its three labels out as the design does at every
// width (PanCountDownResize).
class CounterStrip : public QWidget {
  public:
    CounterStrip(QWidget* parent, QLabel* breakTime, QLabel* playTime, QLabel* toConnect)
        : QWidget(parent), m_break(breakTime), m_play(playTime), m_toConnect(toConnect) {
        setObjectName(QStringLiteral("PanCountDown"));
        setFixedHeight(20);
    }

  protected:
    void resizeEvent(QResizeEvent*) override {
        const int h = height();
        const int toConnectLeft = width() - 2 - 84;
        m_toConnect->setGeometry(toConnectLeft, 0, 84, h);
        const int breakWidth = std::max(toConnectLeft / 2 - 8, 0);
        m_break->setGeometry(0, 0, breakWidth, h);
        const int playLeft = breakWidth + 2;
        m_play->setGeometry(playLeft, 0, std::max(toConnectLeft - 2 - playLeft, 0), h);
    }

  private:
    QLabel* m_break;
    QLabel* m_play;
    QLabel* m_toConnect;
};

// ImgSilence: the background, and the graded colour over the left part.
class IndicatorBar : public QWidget {
  public:
    explicit IndicatorBar(QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("ImgSilence"));
        setFixedHeight(12);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    void setBar(const QColor& color, double ratio) {
        m_color = color;
        m_ratio = std::clamp(ratio, 0.0, 1.0);
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), ChannelPanel::IndicatorBackground());
        const int filled = static_cast<int>(std::trunc(width() * m_ratio));
        if (filled > 0) {
            p.fillRect(0, 0, filled, height(), m_color);
        }
    }

  private:
    QColor m_color = ChannelPanel::IndicatorBackground();
    double m_ratio = 0;
};

}  // namespace

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    // Titles, station names and messages come from outside: never markup.
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == m_fullText) {
        return;
    }
    m_fullText = text;
    QLabel::setText(text);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::sizeHint() const {
    return {0, QLabel::sizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent* event) {
    const QRect area = contentsRect().adjusted(margin() + 2, 0, -margin() - 2, 0);
    if (fontMetrics().horizontalAdvance(m_fullText) <= area.width()) {
        QLabel::paintEvent(event);
        return;
    }
    QFrame::paintEvent(event);
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    const QString shown = fontMetrics().elidedText(m_fullText, Qt::ElideRight, area.width());
    p.drawText(area, static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter), shown);
}

ChannelPanel::ChannelPanel(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("frChannelForm"));
    // The page is its own window in the design: a window translation of the
    // main window does not walk it.
    setProperty("qvmTranslateSkip", true);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(2, 0, 2, 2);
    m_panChannel = new QGroupBox(this);
    m_panChannel->setObjectName(QStringLiteral("PanChannel"));
    m_panChannel->setFont(DesignFont(14, false));
    // Its title is cut to the page (elideCaption), never the page widened to it.
    m_panChannel->setMinimumWidth(1);
    outer->addWidget(m_panChannel);

    auto* column = new QVBoxLayout(m_panChannel);
    column->setContentsMargins(3, 1, 3, 2);
    column->setSpacing(0);

    const QFont lineFont = [&] {
        QFont f = font();
        f.setPointSize(8);
        f.setBold(true);
        return f;
    }();
    auto info = [&](const char* name) {
        auto* label = new ElidedLabel(m_panChannel);
        label->setObjectName(QString::fromLatin1(name));
        label->setFont(lineFont);
        label->setAlignment(Qt::AlignCenter);
        label->setFixedHeight(13);
        column->addWidget(label);
        return label;
    };
    m_labInfoBitrate = info("LabInfoBitrate");
    m_labStation = info("LabStation");
    m_labTitle = info("LabTitle");

    m_led = new TLedMetter(m_panChannel);
    m_led->setObjectName(QStringLiteral("Ch_Led"));
    m_led->setFixedHeight(24);
    column->addWidget(m_led);

    const QFont counterFont = DesignFont(14, true);
    m_labBreakTime = FramedLabel(QStringLiteral("LabBreakTime"), nullptr);
    m_labPlayTime = FramedLabel(QStringLiteral("LabPlayTime"), nullptr);
    m_labToConnect = FramedLabel(QStringLiteral("LabToConnect"), nullptr);
    auto* counters = new CounterStrip(m_panChannel, m_labBreakTime, m_labPlayTime, m_labToConnect);
    for (QLabel* label : {m_labBreakTime, m_labPlayTime, m_labToConnect}) {
        label->setParent(counters);
        label->setFont(counterFont);
    }
    SetTextColor(m_labBreakTime, Qt::red);
    column->addWidget(counters);

    auto* status = new QWidget(m_panChannel);
    status->setObjectName(QStringLiteral("PanStatus"));
    auto* statusRow = new QHBoxLayout(status);
    statusRow->setContentsMargins(0, 1, 0, 1);
    statusRow->setSpacing(2);
    m_tbVol = new QSlider(Qt::Vertical, status);
    m_tbVol->setObjectName(QStringLiteral("TBVol"));
    m_tbVol->setRange(0, 100);
    m_tbVol->setEnabled(false);
    m_tbVol->setFixedWidth(22);
    m_tbVol->setToolTip(QStringLiteral("Channel volume"));
    statusRow->addWidget(m_tbVol);

    auto* statusColumn = new QVBoxLayout;
    statusColumn->setSpacing(1);
    m_gBuffer = new QProgressBar(status);
    m_gBuffer->setObjectName(QStringLiteral("GBuffer"));
    m_gBuffer->setRange(0, 100);
    m_gBuffer->setValue(0);
    m_gBuffer->setTextVisible(true);
    m_gBuffer->setAlignment(Qt::AlignCenter);
    m_gBuffer->setFixedHeight(16);
    m_gBuffer->setToolTip(QStringLiteral("Buffer"));
    statusColumn->addWidget(m_gBuffer);

    auto* statusLine = new QHBoxLayout;
    statusLine->setSpacing(2);
    auto button = [&](const char* name) {
        auto* b = new QToolButton(status);
        b->setObjectName(QString::fromLatin1(name));
        b->setFixedSize(26, 31);
        b->setIconSize(QSize(20, 24));
        b->setAutoRaise(true);
        return b;
    };
    m_sbLook = button("SBLook");
    m_labStatus = FramedLabel(QStringLiteral("LabStatus"), status);
    m_labStatus->setFont(DesignFont(24, true));
    m_labStatus->setFixedHeight(31);
    m_labStatus->setToolTip(QStringLiteral("Status"));
    m_labStatus->installEventFilter(this);
    m_sbPlay = button("SBPlay");
    statusLine->addWidget(m_sbLook);
    statusLine->addWidget(m_labStatus, 1);
    statusLine->addWidget(m_sbPlay);
    statusColumn->addLayout(statusLine);

    m_imgSilence = new IndicatorBar(status);
    statusColumn->addWidget(m_imgSilence);
    statusRow->addLayout(statusColumn, 1);
    column->addWidget(status);

    m_panMsg = new ElidedLabel(m_panChannel);
    m_panMsg->setObjectName(QStringLiteral("PanMsg"));
    m_panMsg->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_panMsg->setFixedHeight(18);
    m_panMsg->setIndent(3);
    m_panMsg->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    column->addWidget(m_panMsg);

    connect(m_sbPlay, &QToolButton::clicked, this, &ChannelPanel::playClicked);
    connect(m_sbLook, &QToolButton::clicked, this, &ChannelPanel::lookClicked);

    setHints(QStringLiteral("Time from connect"), QStringLiteral("Playtime"),
             QStringLiteral("Time to reconnect"),
             QStringLiteral("Silence and connection detector"));
    // FormCreate: a stopped channel's face.
    setStatusWord(QStringLiteral("Stop"), Qt::black);
    showLookButton(0);
    showPlayButton(false);
    m_led->DrawScale();
    m_meterFeed = std::make_unique<MeterFeed>(m_led);
}

ChannelPanel::~ChannelPanel() = default;

void ChannelPanel::setHints(const QString& breakTime, const QString& playTime,
                            const QString& toConnect, const QString& indicator) {
    m_labBreakTime->setToolTip(breakTime);
    m_labPlayTime->setToolTip(playTime);
    m_labToConnect->setToolTip(toConnect);
    m_imgSilence->setToolTip(indicator);
}

void ChannelPanel::setCaption(const QString& url) {
    m_url = url;
    elideCaption();
}

void ChannelPanel::elideCaption() {
    // A group box is as wide as its title: a long address must not widen the
    // page beyond the fixed window.
    const int room = std::max(m_panChannel->width() - 24, 0);
    QString shown = m_panChannel->fontMetrics().elidedText(m_url, Qt::ElideMiddle, room);
    // A title takes "&" for a shortcut mark; addresses with queries hold them.
    shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
    m_panChannel->setTitle(shown);
}

void ChannelPanel::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    elideCaption();
}

void ChannelPanel::setStatusWord(const QString& text, const QColor& color) {
    m_statusText = text;
    m_statusColor = color;
    present(kStatus);
}

void ChannelPanel::setGauge(int percent) {
    m_gauge = std::clamp(percent, 0, 100);
    present(kGauge);
}

void ChannelPanel::setInfoLines(const QString& bitrateLine, const QString& station,
                                const QString& title) {
    m_labInfoBitrate->setFullText(bitrateLine);
    m_labStation->setFullText(station);
    m_labTitle->setFullText(title);
}

void ChannelPanel::setLevels(double leftDb, double rightDb) {
    m_meterFeed->setLevels(leftDb, rightDb);
}

void ChannelPanel::setCounters(const QString& breakTime, const QString& playTime,
                               const QString& toConnect, bool toConnectRed) {
    m_breakTime = breakTime;
    m_playTime = playTime;
    m_toConnect = toConnect;
    m_toConnectRed = toConnectRed;
    present(kCounters);
}

void ChannelPanel::setVolumeSlider(int position) {
    m_tbVol->setValue(position);
}

void ChannelPanel::setIndicator(const QColor& color, double ratio) {
    m_indicatorColor = color;
    m_indicatorRatio = std::clamp(ratio, 0.0, 1.0);
    present(kIndicator);
}

void ChannelPanel::present(unsigned parts) {
    if (canShow()) {
        draw(parts);
    } else {
        m_waiting |= parts;
    }
}

void ChannelPanel::draw(unsigned parts) {
    m_waiting &= ~parts;
    if ((parts & kStatus) != 0) {
        m_labStatus->setText(m_statusText);
        SetTextColor(m_labStatus, m_statusColor);
    }
    if ((parts & kGauge) != 0) {
        m_gBuffer->setValue(m_gauge);
    }
    if ((parts & kCounters) != 0) {
        if (m_labBreakTime->text() != m_breakTime) {
            m_labBreakTime->setText(m_breakTime);
        }
        if (m_labPlayTime->text() != m_playTime) {
            m_labPlayTime->setText(m_playTime);
        }
        if (m_labToConnect->text() != m_toConnect) {
            m_labToConnect->setText(m_toConnect);
        }
        SetTextColor(m_labToConnect,
                     m_toConnectRed ? QColor(Qt::red) : palette().color(QPalette::WindowText));
    }
    if ((parts & kIndicator) != 0) {
        static_cast<IndicatorBar*>(m_imgSilence)->setBar(m_indicatorColor, m_indicatorRatio);
    }
}

void ChannelPanel::setPresenting(bool presenting) {
    m_presenting = presenting;
    m_meterFeed->setPresenting(canShow());
    if (canShow() && m_waiting != 0) {
        draw(m_waiting);
    }
}

void ChannelPanel::flushMeter() {
    m_meterFeed->flush();
}

void ChannelPanel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    setPresenting(m_presenting);
}

void ChannelPanel::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    m_meterFeed->setPresenting(false);
}

void ChannelPanel::setMessage(const QString& text) {
    m_panMsg->setFullText(text);
}

void ChannelPanel::showPlayButton(bool enabled) {
    m_playImage = enabled ? 2 : 3;
    m_sbPlay->setIcon(PlayStopListImage(m_playImage));
    m_sbPlay->setEnabled(enabled);
}

void ChannelPanel::showLookButton(int image) {
    m_lookImage = std::clamp(image, 0, 3);
    m_sbLook->setIcon(PlayStopListImage(m_lookImage));
    m_sbLook->setEnabled(m_lookImage != 3);
}

bool ChannelPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_labStatus && event->type() == QEvent::MouseButtonDblClick) {
        emit statusDoubleClicked();
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace qvm
