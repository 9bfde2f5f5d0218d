#include "dsp/LadspaDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

#include "dsp/Ladspa.h"

namespace qvm {
namespace {

constexpr int kSliderSteps = 1000;

// Slider position 0..kSliderSteps and value, logarithmic where the port asks
// for it and both bounds allow it.
struct SliderScale {
    double low;
    double high;
    bool log;

    int position(double v) const {
        const double share =
            log ? std::log(v / low) / std::log(high / low) : (v - low) / (high - low);
        return static_cast<int>(std::lround(std::clamp(share, 0.0, 1.0) * kSliderSteps));
    }
    double value(int position) const {
        const double share = static_cast<double>(position) / kSliderSteps;
        return log ? low * std::pow(high / low, share) : low + (high - low) * share;
    }
};

}  // namespace

LadspaDialog::LadspaDialog(LadspaEffect& effect, const QString& name, QWidget* parent)
    : QDialog(parent), m_effect(effect) {
    setWindowTitle(effect.title());
    setObjectName(QStringLiteral("LadspaDialog"));
    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(name, this);
    heading->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(heading);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    const auto& controls = effect.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const LadspaControl& c = controls[i];
        m_opened.push_back(effect.value(i));
        if (c.toggled) {
            auto* box = new QCheckBox(this);
            box->setObjectName(QStringLiteral("control%1").arg(i));
            connect(box, &QCheckBox::toggled, this,
                    [this, i](bool on) { m_effect.setValue(i, on ? 1.0f : 0.0f); });
            m_reload.push_back([this, box, i] {
                const QSignalBlocker block(box);
                box->setChecked(m_effect.value(i) > 0.5f);
            });
            form->addRow(c.name, box);
            continue;
        }
        auto* row = new QHBoxLayout;
        auto* slider = new QSlider(Qt::Horizontal, this);
        slider->setRange(0, kSliderSteps);
        slider->setMinimumWidth(220);
        auto* number = new QDoubleSpinBox(this);
        number->setObjectName(QStringLiteral("control%1").arg(i));
        const int decimals = c.integer ? 0 : (c.maximum - c.minimum > 100.0f ? 1 : 3);
        number->setDecimals(decimals);
        number->setRange(c.minimum, c.maximum);
        number->setSingleStep(c.integer ? 1.0 : (c.maximum - c.minimum) / 100.0);
        number->setKeyboardTracking(false);
        const SliderScale scale{c.minimum, c.maximum, c.logarithmic && c.minimum > 0.0f};
        connect(number, &QDoubleSpinBox::valueChanged, this, [this, i, slider, scale](double v) {
            m_effect.setValue(i, static_cast<float>(v));
            const QSignalBlocker block(slider);
            slider->setValue(scale.position(v));
        });
        connect(slider, &QSlider::valueChanged, this, [number, scale, c](int position) {
            double v = scale.value(position);
            if (c.integer) {
                v = std::round(v);
            }
            number->setValue(v);
        });
        m_reload.push_back([this, number, slider, scale, i] {
            const QSignalBlocker blockNumber(number);
            const QSignalBlocker blockSlider(slider);
            number->setValue(m_effect.value(i));
            slider->setValue(scale.position(m_effect.value(i)));
        });
        row->addWidget(slider, 1);
        row->addWidget(number);
        form->addRow(c.name, row);
    }
    if (controls.empty()) {
        form->addRow(new QLabel(tr("This plug-in has nothing to set."), this));
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* defaults = buttons->addButton(QDialogButtonBox::RestoreDefaults);
    defaults->setObjectName(QStringLiteral("defaults"));
    connect(defaults, &QPushButton::clicked, this, &LadspaDialog::restoreDefaults);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    for (const auto& reload : m_reload) {
        reload();
    }
}

void LadspaDialog::restoreDefaults() {
    const auto& controls = m_effect.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        m_effect.setValue(i, controls[i].defaultValue);
    }
    for (const auto& reload : m_reload) {
        reload();
    }
}

void LadspaDialog::reject() {
    for (std::size_t i = 0; i < m_opened.size(); ++i) {
        m_effect.setValue(i, m_opened[i]);
    }
    QDialog::reject();
}

}  // namespace qvm
