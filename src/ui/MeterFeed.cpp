#include "ui/MeterFeed.h"

#include <algorithm>

#include "ui/LedMeter.h"

namespace qvm {

MeterFeed::MeterFeed(TLedMetter* meter) : m_meter(meter) {
    m_due.setSingleShot(true);
    QObject::connect(&m_due, &QTimer::timeout, meter, [this] { flush(); });
}

void MeterFeed::setLevels(double leftDb, double rightDb) {
    // Unseen, only the latest levels count: a peak long past is no news.
    if (m_waiting && m_presenting) {
        m_left = std::max(m_left, leftDb);
        m_right = std::max(m_right, rightDb);
    } else {
        m_left = leftDb;
        m_right = rightDb;
        m_waiting = true;
    }
    if (!m_presenting || m_due.isActive()) {
        return;
    }
    const qint64 since = m_lastFrame.isValid() ? m_lastFrame.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
        flush();
    } else {
        m_due.start(static_cast<int>(kFrameMs - since));
    }
}

void MeterFeed::setPresenting(bool presenting) {
    m_presenting = presenting;
    if (!presenting) {
        m_due.stop();
    } else if (m_waiting) {
        flush();
    }
}

void MeterFeed::flush() {
    m_due.stop();
    if (!m_waiting) {
        return;
    }
    m_waiting = false;
    m_lastFrame.start();
    m_meter->SetLevels(m_left, m_right);
}

}  // namespace qvm
